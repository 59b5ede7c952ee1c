// ntfs-3g's plugin for tag 16 (ntfs3g-plugin/) on a real NTFS volume: an
// image made by mkntfs, mounted by ntfs-3g, the plugin from the build tree
// in ntfs-3g's plugin folder. The placeholders and the other reparse point
// are written through ntfs-3g's own interface (the xattrs
// system.ntfs_reparse_data and system.ntfs_attrib), then read back in a
// mount of their own: with the plugin, and without it, as ntfs-3g alone
// shows them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "tests/ntfs3g/ntfs3g_volume.h"
#include "tests/support/test_support.h"
#include "tools/tree_builder.h"

using namespace testsupport;
using namespace ntfs3gtest;
using treebuilder::Bytes;

namespace {

const std::string kReparseData = "system.ntfs_reparse_data";
const std::string kAttrib = "system.ntfs_attrib";

// The files of the volume.
const std::string kPlaceholder = "placeholder.doc";  // 1,000,000 bytes, none kept: one hole
const std::string kKeptCluster = "kept-cluster.doc";  // 300,000 bytes, the first 4,096 kept
const std::string kOtherTag = "other-tag.bin";       // tag 0x11, which no plugin serves
const std::string kNearTag = "near-tag.bin";         // tag 0x1010: ntfs-3g asks the plugin of tag 16
const std::string kOrdinary = "ordinary.txt";        // no reparse point

// ntfs-3g's text for a reparse point it has no plugin for: the target of the
// symbolic link it shows, and that link's size.
std::string unsupported(const std::string& tagHex) { return "unsupported reparse tag 0x" + tagHex; }

std::string errorName(int error)
{
    const char* name = ::strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

DWORD attribOf(const std::string& path)
{
    std::optional<std::string> value = xattr(path, kAttrib);
    EXPECT_TRUE(value && value->size() == 4) << path;
    DWORD attrib = 0;
    if (value && value->size() == 4) {
        std::memcpy(&attrib, value->data(), 4);
    }
    return attrib;
}

// The names of a folder with the types readdir gives them.
std::map<std::string, unsigned char> listing(const std::string& folder)
{
    std::map<std::string, unsigned char> names;
    DIR* list = ::opendir(folder.c_str());
    EXPECT_NE(list, nullptr) << folder << ": " << std::strerror(errno);
    while (list != nullptr) {
        struct dirent* entry = ::readdir(list);
        if (entry == nullptr) {
            ::closedir(list);
            break;
        }
        names[entry->d_name] = entry->d_type;
    }
    names.erase(".");
    names.erase("..");
    return names;
}

struct BuiltFile {
    std::string name;
    std::string content;  // written first
    off_t size;           // then a hole up to this size
    std::optional<Bytes> record;
    bool offline;
};

// What the steps of an operation gave: "open ok; read EOPNOTSUPP".
class Steps {
public:
    // Records one step; true when it succeeded.
    bool step(const std::string& name, bool succeeded)
    {
        text_ += (text_.empty() ? "" : "; ") + name + " " + (succeeded ? "ok" : errorName(errno));
        return succeeded;
    }
    [[nodiscard]] const std::string& text() const { return text_; }

private:
    std::string text_;
};

// Opens `path` (never following a final link), then runs `then`, if any, on
// the descriptor; closes it.
std::string openThen(const std::string& path, int flags, const std::function<void(int, Steps&)>& then)
{
    Steps steps;
    int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (steps.step("open", fd >= 0)) {
        if (then) {
            then(fd, steps);
        }
        ::close(fd);
    }
    return steps.text();
}

class Ntfs3gPlugin : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (unavailable()) {
            GTEST_SKIP() << *unavailable();
        }
        ASSERT_EQ(::mkdir(mountPoint().c_str(), 0755), 0);
        makeImage(image());
        const BuiltFile files[] = {
            {kPlaceholder, "", 1000000, treebuilder::placeholderRecord({}), true},
            {kKeptCluster, std::string(4096, 'k'), 300000,
             treebuilder::placeholderRecord({.url = WSTR("http://archive.example/vault/0002")}), true},
            {kOtherTag, std::string(5000, 'x'), 5000, treebuilder::reparseRecord(0x11, Bytes(100, 'D')), false},
            {kNearTag, "", 7000, treebuilder::reparseRecord(0x1010, Bytes(40, 'N')), false},
            {kOrdinary, "hello", 5, std::nullopt, false},
        };
        // Built with the plugin, so that a placeholder stays a regular file
        // for the kernel while it is made; read back in mounts of their own.
        Ntfs3gMount mount(image(), mountPoint(), STUBWARDEN_NTFS3G_PLUGIN_BUILD_FOLDER);
        for (const BuiltFile& file : files) {
            const std::string path = at(file.name);
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
            ASSERT_EQ(::write(fd, file.content.data(), file.content.size()), static_cast<ssize_t>(file.content.size()));
            ASSERT_EQ(::ftruncate(fd, file.size), 0) << path;
            ::close(fd);
            ASSERT_EQ(::lstat(path.c_str(), &asOrdinary_[file.name]), 0);
            if (file.record) {
                setXattr(path, kReparseData, text(*file.record));
                records_[file.name] = text(*file.record);
            }
            if (file.offline) {
                DWORD attrib = attribOf(path) | FILE_ATTRIBUTE_OFFLINE;
                setXattr(path, kAttrib, std::string(reinterpret_cast<const char*>(&attrib), 4));
            }
        }
        // A stream of the placeholder, as ntfs-3g keeps streams: a user xattr.
        setXattr(at(kPlaceholder), "user.note", "kept beside the data");
    }

    [[nodiscard]] std::string image() const { return work_ / "volume.img"; }
    [[nodiscard]] std::string mountPoint() const { return work_ / "mnt"; }
    [[nodiscard]] std::string at(const std::string& name) const { return mountPoint() + "/" + name; }

    [[nodiscard]] std::unique_ptr<Ntfs3gMount> withThePlugin() const
    {
        return std::make_unique<Ntfs3gMount>(image(), mountPoint(), STUBWARDEN_NTFS3G_PLUGIN_BUILD_FOLDER);
    }
    [[nodiscard]] std::unique_ptr<Ntfs3gMount> withoutThePlugin() const
    {
        return std::make_unique<Ntfs3gMount>(image(), mountPoint(), noPlugins_.path());
    }

    // How a file is shown: its lstat, readdir's type and a link's target.
    struct Shown {
        std::string name;
        mode_t mode;
        off_t size;
        blkcnt_t blocks;
        unsigned char direntType;
        std::string linkTarget;  // "" for a regular file
    };
    void expectShown(const Shown& wanted)
    {
        SCOPED_TRACE(wanted.name);
        const std::string path = at(wanted.name);
        struct stat status {};
        ASSERT_EQ(::lstat(path.c_str(), &status), 0) << std::strerror(errno);
        EXPECT_EQ(status.st_mode, wanted.mode) << std::oct << status.st_mode;
        EXPECT_EQ(status.st_size, wanted.size);
        EXPECT_EQ(status.st_blocks, wanted.blocks);
        EXPECT_EQ(listing(mountPoint())[wanted.name], wanted.direntType);
        char target[256] = {};
        ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
        if (wanted.linkTarget.empty()) {
            EXPECT_EQ(length, -1);
            EXPECT_EQ(::stat(path.c_str(), &status), 0) << "stat follows nothing";
        } else {
            EXPECT_EQ(std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0), wanted.linkTarget);
            errno = 0;
            EXPECT_EQ(::stat(path.c_str(), &status), -1) << "a link to nothing";
            EXPECT_EQ(errno, ENOENT);
        }
    }

    // The two placeholders shown as given, the other files as ntfs-3g shows
    // them with the plugin or without, and ntfs-3g's own xattrs of each as
    // they were written: the record in NTFS's form.
    void expectFilesShown(const Shown& placeholder, const Shown& keptCluster)
    {
        const Shown cases[] = {
            placeholder,
            keptCluster,
            {kOtherTag, S_IFLNK | 0777, 34, asOrdinary_[kOtherTag].st_blocks, DT_LNK, unsupported("00000011")},
            {kNearTag, S_IFLNK | 0777, 34, asOrdinary_[kNearTag].st_blocks, DT_LNK, unsupported("00001010")},
            {kOrdinary, S_IFREG | 0777, 5, asOrdinary_[kOrdinary].st_blocks, DT_REG, ""},
        };
        for (const Shown& wanted : cases) {
            expectShown(wanted);
        }
        for (const auto& [name, record] : records_) {
            EXPECT_EQ(xattr(at(name), kReparseData), record) << name;
        }
    }

    // A placeholder's record, size and allocation are what they were built with.
    void expectPlaceholdersUnchanged()
    {
        for (const std::string& name : {kPlaceholder, kKeptCluster}) {
            SCOPED_TRACE(name);
            struct stat status {};
            ASSERT_EQ(::lstat(at(name).c_str(), &status), 0);
            EXPECT_EQ(status.st_size, asOrdinary_[name].st_size);
            EXPECT_EQ(status.st_blocks, asOrdinary_[name].st_blocks);
            EXPECT_EQ(xattr(at(name), kReparseData), records_[name]);
        }
    }

    TempDir work_;
    TempDir noPlugins_;  // an empty plugin folder: ntfs-3g alone
    std::map<std::string, struct stat> asOrdinary_;  // each file before its record was set
    std::map<std::string, std::string> records_;
};

// The plugin's folder in the package is the one ntfs-3g loads plugins from.
TEST(Ntfs3gPluginPackage, IsInstalledIntoNtfs3gsPluginFolder)
{
    EXPECT_EQ("/usr/" STUBWARDEN_NTFS3G_PLUGIN_FOLDER, pluginFolder());
}

// A placeholder is a regular file with its data attribute's size and
// allocation, as ntfs-3g shows the same file without its reparse point; the
// reparse points of other tags stay ntfs-3g's links to its text.
TEST_F(Ntfs3gPlugin, ShowsAPlaceholderAsTheRegularFileItIs)
{
    // The holes take no room: nothing of a placeholder's data is kept but
    // what was written before its record.
    EXPECT_EQ(asOrdinary_[kPlaceholder].st_blocks, 0);
    EXPECT_EQ(asOrdinary_[kKeptCluster].st_blocks, 8);
    auto mount = withThePlugin();
    expectFilesShown({kPlaceholder, S_IFREG | 0777, 1000000, asOrdinary_[kPlaceholder].st_blocks, DT_REG, ""},
                     {kKeptCluster, S_IFREG | 0777, 300000, asOrdinary_[kKeptCluster].st_blocks, DT_REG, ""});

    // The attributes with the sparse and reparse point bits ntfs-3g keeps.
    const DWORD placeholder = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT |
                              FILE_ATTRIBUTE_OFFLINE;
    EXPECT_EQ(attribOf(at(kPlaceholder)), placeholder);
    EXPECT_EQ(attribOf(at(kKeptCluster)), placeholder);
    EXPECT_EQ(attribOf(at(kOtherTag)), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(attribOf(at(kOrdinary)), FILE_ATTRIBUTE_ARCHIVE);
    // ntfs-3g keeps user xattrs only on what it shows as a regular file or a folder.
    EXPECT_EQ(xattr(at(kPlaceholder), "user.note"), "kept beside the data");

    mount->unmount();
    // ntfs-3g asks for a plugin per tag: 0x1010 shares the file of tag 16, which refuses it.
    EXPECT_NE(mount->log().find("Could not load plugin " + pluginFolder() + "/ntfs-plugin-00000011.so"),
              std::string::npos)
        << mount->log();
    EXPECT_EQ(mount->log().find("ntfs-plugin-00000010.so"), std::string::npos) << mount->log();
}

// A placeholder's data is in the archive: reading, writing and truncating
// are refused with EOPNOTSUPP, and nothing is recalled or changed. Opening,
// in any mode, and locking work: they touch no data.
TEST_F(Ntfs3gPlugin, RefusesAPlaceholdersDataAndChangesNothing)
{
    char buffer[16];
    const struct {
        std::string name;
        std::function<std::string(const std::string&)> run;
    } operations[] = {
        {"read",
         [&](const std::string& path) {
             return openThen(path, O_RDONLY, [&](int fd, Steps& steps) {
                 steps.step("read", ::read(fd, buffer, sizeof buffer) >= 0);
             });
         }},
        {"write",
         [&](const std::string& path) {
             return openThen(path, O_WRONLY,
                             [&](int fd, Steps& steps) { steps.step("write", ::pwrite(fd, "z", 1, 0) == 1); });
         }},
        {"read and write",
         [&](const std::string& path) {
             return openThen(path, O_RDWR, [&](int fd, Steps& steps) {
                 steps.step("read", ::pread(fd, buffer, sizeof buffer, 0) >= 0);
                 steps.step("write", ::pwrite(fd, "z", 1, 0) == 1);
             });
         }},
        {"ftruncate",
         [&](const std::string& path) {
             return openThen(path, O_WRONLY,
                             [&](int fd, Steps& steps) { steps.step("ftruncate", ::ftruncate(fd, 3) == 0); });
         }},
        {"truncate",
         [&](const std::string& path) {
             Steps steps;
             steps.step("truncate", ::truncate(path.c_str(), 3) == 0);
             return steps.text();
         }},
        {"open with O_TRUNC", [&](const std::string& path) { return openThen(path, O_WRONLY | O_TRUNC, {}); }},
        // What a repair does before it rewrites the record.
        {"lock",
         [&](const std::string& path) {
             return openThen(path, O_WRONLY, [&](int fd, Steps& steps) {
                 steps.step("flock", ::flock(fd, LOCK_EX | LOCK_NB) == 0);
             });
         }},
    };
    const std::map<std::string, std::vector<std::string>> expected = {
        {kPlaceholder,
         {"open ok; read EOPNOTSUPP", "open ok; write EOPNOTSUPP", "open ok; read EOPNOTSUPP; write EOPNOTSUPP",
          "open ok; ftruncate EOPNOTSUPP", "truncate EOPNOTSUPP", "open EOPNOTSUPP", "open ok; flock ok"}},
        // ntfs-3g's link: O_NOFOLLOW refuses it; truncate(2) follows it to nothing.
        {kOtherTag, {"open ELOOP", "open ELOOP", "open ELOOP", "open ELOOP", "truncate ENOENT", "open ELOOP",
                     "open ELOOP"}},
        {kOrdinary, {"open ok; read ok", "open ok; write ok", "open ok; read ok; write ok", "open ok; ftruncate ok",
                     "truncate ok", "open ok", "open ok; flock ok"}},
    };
    {
        auto mount = withThePlugin();
        for (const auto& [name, results] : expected) {
            for (std::size_t i = 0; i < results.size(); ++i) {
                EXPECT_EQ(operations[i].run(at(name)), results[i]) << name << ", " << operations[i].name;
            }
        }
        expectPlaceholdersUnchanged();
        EXPECT_EQ(attribOf(at(kPlaceholder)) & FILE_ATTRIBUTE_OFFLINE, FILE_ATTRIBUTE_OFFLINE);
    }
    // Nothing was written to the volume for them either, and it is whole.
    RunResult check = runProgram("/bin/ntfsfix", {"--no-action", image()});
    EXPECT_EQ(check.exitCode, 0) << check.standardOutput << check.standardError;
    auto mount = withThePlugin();
    expectPlaceholdersUnchanged();
}

// Deletion and rename are ntfs-3g's own (it asks a plugin only when the
// parent folder is a reparse point): a placeholder goes, or moves with its
// record and size, as any file does.
TEST_F(Ntfs3gPlugin, APlaceholderIsDeletedAndRenamedAsAnyFile)
{
    const std::string moved[] = {kPlaceholder, kOtherTag, kOrdinary};
    std::map<std::string, struct stat> before;
    {
        auto mount = withThePlugin();
        for (const std::string& name : moved) {
            ASSERT_EQ(::lstat(at(name).c_str(), &before[name]), 0);
            EXPECT_EQ(::rename(at(name).c_str(), at("renamed-" + name).c_str()), 0)
                << name << ": " << std::strerror(errno);
        }
    }
    {
        auto mount = withThePlugin();
        for (const std::string& name : moved) {
            SCOPED_TRACE(name);
            struct stat status {};
            EXPECT_EQ(::lstat(at(name).c_str(), &status), -1);
            ASSERT_EQ(::lstat(at("renamed-" + name).c_str(), &status), 0);
            EXPECT_EQ(status.st_ino, before[name].st_ino);
            EXPECT_EQ(status.st_mode, before[name].st_mode);
            EXPECT_EQ(status.st_size, before[name].st_size);
            EXPECT_EQ(status.st_blocks, before[name].st_blocks);
            EXPECT_EQ(xattr(at("renamed-" + name), kReparseData), records_.count(name) ? std::optional(records_[name])
                                                                                       : std::nullopt);
            EXPECT_EQ(::unlink(at("renamed-" + name).c_str()), 0) << std::strerror(errno);
        }
    }
    RunResult check = runProgram("/bin/ntfsfix", {"--no-action", image()});
    EXPECT_EQ(check.exitCode, 0) << check.standardOutput << check.standardError;
    auto mount = withThePlugin();
    std::set<std::string> left;
    for (const auto& [name, type] : listing(mountPoint())) {
        left.insert(name);
    }
    EXPECT_EQ(left, (std::set<std::string>{kKeptCluster, kNearTag}));
}

// The record goes in and out through ntfs-3g's xattr as it is, in NTFS's
// form: a repair rewrites it in place and the file stays the same
// placeholder. ntfs-3g refuses a record whose length disagrees with its
// ReparseDataLength, as the same record in Samba's form does.
TEST_F(Ntfs3gPlugin, APlaceholdersRecordIsRewrittenThroughNtfs3gsXattr)
{
    auto mount = withThePlugin();
    const std::string path = at(kPlaceholder);
    const Bytes repaired = treebuilder::placeholderRecord({.url = WSTR("http://archive.example/vault/0003")});
    ASSERT_EQ(::lsetxattr(path.c_str(), kReparseData.c_str(), repaired.data(), repaired.size(), XATTR_REPLACE), 0)
        << std::strerror(errno);
    EXPECT_EQ(xattr(path, kReparseData), text(repaired));
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode, S_IFREG | 0777u);
    EXPECT_EQ(status.st_size, 1000000);

    const Bytes sambaForm = treebuilder::sambaForm(repaired);
    errno = 0;
    EXPECT_EQ(::lsetxattr(path.c_str(), kReparseData.c_str(), sambaForm.data(), sambaForm.size(), 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(xattr(path, kReparseData), text(repaired));
}

// A record set on a file changes what ntfs-3g shows it as at once, under the
// same mount. A change of type (regular file to link) meets the kernel's
// cached inode of the other type: the first look fails with EIO (the FUSE
// of Linux 6.18 here), the next ones see the link. With the plugin a new
// placeholder stays a regular file, so the first look already sees it.
TEST_F(Ntfs3gPlugin, ASetRecordIsShownAtOnceAndAChangeOfTypeCostsOneLook)
{
    const struct {
        bool plugin;
        DWORD tag;
        mode_t shownAs;
    } cases[] = {
        {true, 0x10, S_IFREG},
        {true, 0x11, S_IFLNK},
        {false, 0x10, S_IFLNK},
    };
    for (const auto& wanted : cases) {
        SCOPED_TRACE((wanted.plugin ? "with the plugin, tag " : "without it, tag ") + std::to_string(wanted.tag));
        auto mount = wanted.plugin ? withThePlugin() : withoutThePlugin();
        const std::string path = at("new-" + std::to_string(wanted.tag) + (wanted.plugin ? "-plugin" : ""));
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        ASSERT_EQ(::write(fd, "0123456789", 10), 10);
        ::close(fd);
        struct stat status {};
        ASSERT_EQ(::lstat(path.c_str(), &status), 0);
        const Bytes record = wanted.tag == 0x10 ? treebuilder::placeholderRecord({})
                                                : treebuilder::reparseRecord(wanted.tag, Bytes(4, 'D'));
        setXattr(path, kReparseData, text(record));
        errno = 0;
        int first = ::lstat(path.c_str(), &status);
        if (wanted.shownAs == S_IFREG) {
            ASSERT_EQ(first, 0) << std::strerror(errno);
        } else if (first != 0) {
            EXPECT_EQ(errno, EIO);
            ASSERT_EQ(::lstat(path.c_str(), &status), 0) << "the next look";
        }
        EXPECT_EQ(status.st_mode & S_IFMT, wanted.shownAs);
        EXPECT_EQ(status.st_size, wanted.shownAs == S_IFREG ? 10 : 34);
        EXPECT_EQ(xattr(path, kReparseData), text(record));
    }
}

// Without the plugin, ntfs-3g shows a placeholder as a symbolic link to its
// text, sized as that text: the size is lost, stat(2) follows the link to
// nothing, and its user xattrs are out of reach. Its own xattrs still give
// the record and the attributes, and it says on its log which plugin it
// could not load.
TEST_F(Ntfs3gPlugin, WithoutThePluginAPlaceholderIsNtfs3gsLinkToItsText)
{
    auto mount = withoutThePlugin();
    expectFilesShown(
        {kPlaceholder, S_IFLNK | 0777, 34, asOrdinary_[kPlaceholder].st_blocks, DT_LNK, unsupported("00000010")},
        {kKeptCluster, S_IFLNK | 0777, 34, asOrdinary_[kKeptCluster].st_blocks, DT_LNK, unsupported("00000010")});
    EXPECT_EQ(attribOf(at(kPlaceholder)), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SPARSE_FILE |
                                              FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_OFFLINE);

    const std::string path = at(kPlaceholder);
    char value[64];
    errno = 0;
    EXPECT_EQ(::lgetxattr(path.c_str(), "user.note", value, sizeof value), -1) << "the stream is hidden";
    EXPECT_EQ(errno, ENODATA);
    errno = 0;
    EXPECT_EQ(::lsetxattr(path.c_str(), "user.other", "v", 1, 0), -1);
    EXPECT_EQ(errno, EPERM);
    errno = 0;
    EXPECT_EQ(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC), -1);
    EXPECT_EQ(errno, ELOOP);

    mount->unmount();
    EXPECT_NE(mount->log().find("Could not load plugin " + pluginFolder() + "/ntfs-plugin-00000010.so"),
              std::string::npos)
        << mount->log();
    // Nothing lost: with the plugin the same volume shows the same placeholder again.
    auto again = withThePlugin();
    expectPlaceholdersUnchanged();
    EXPECT_EQ(xattr(at(kPlaceholder), "user.note"), "kept beside the data");
}

}  // namespace
