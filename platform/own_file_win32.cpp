// The report's own file on Windows: a new file takes the folder's inherited
// ACL; the owner is read from the file's security descriptor.
#include "platform/own_file.h"

#include <aclapi.h>
#include <vector>

#include "platform/unique_resource.h"

namespace {

// The descriptor GetSecurityInfo allocates.
struct LocalMemoryTraits {
    using Value = PSECURITY_DESCRIPTOR;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value value) noexcept { LocalFree(value); }
};
using UniqueSecurityDescriptor = UniqueResource<LocalMemoryTraits>;

std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, kind, buffer.data(), size, &size)) {
        buffer.clear();
    }
    return buffer;
}

}  // namespace

HANDLE createPrivateFile(LPCSTR name, DWORD access, DWORD flags)
{
    return CreateFileA(name, access, 0, nullptr, CREATE_NEW, flags, nullptr);
}

bool isOwnRegularFile(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return false;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    UniqueSecurityDescriptor ownedDescriptor(descriptor);
    HANDLE token = nullptr;
    if (owner == nullptr || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    UniqueTokenHandle ownedToken(token);
    std::vector<BYTE> user = tokenInformation(token, TokenUser);
    std::vector<BYTE> defaultOwner = tokenInformation(token, TokenOwner);
    return (!user.empty() && EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid)) ||
           (!defaultOwner.empty() && EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(defaultOwner.data())->Owner));
}
