// NTFS volumes for the ntfs-3g suite: an image made by mkntfs, mounted by
// ntfs-3g (FUSE) in the test process's own mount namespace, with a folder of
// the test's choosing in the place of ntfs-3g's plugin folder. Nothing on
// the host changes: the namespace, and every mount in it, goes with the
// process.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

namespace ntfs3gtest {

// Called once by main, before the tests: enters a mount namespace of the
// process's own and makes sure ntfs-3g's plugin folder exists in it. Gives
// why the suite cannot run here (not root, no /dev/fuse, no namespace), or
// nullopt.
std::optional<std::string> enterOwnMountNamespace();
// What enterOwnMountNamespace() gave.
const std::optional<std::string>& unavailable();

// ntfs-3g's plugin folder, as `ntfs-3g --help` names it
// (/usr/lib/x86_64-linux-gnu/ntfs-3g on Debian).
const std::string& pluginFolder();

// A fresh 16 MiB NTFS volume in the file `image`.
void makeImage(const std::string& image);

// ntfs-3g mounting `image` on `mountPoint` (read-write, its default
// options), with `plugins` bind-mounted over its plugin folder for as long
// as the mount lasts. The constructor returns once the volume is mounted;
// unmount() (or the destructor) returns once ntfs-3g has closed the image.
class Ntfs3gMount {
public:
    // `options`: more of ntfs-3g's mount options, comma-separated.
    Ntfs3gMount(const std::string& image, const std::string& mountPoint, const std::string& plugins,
                const std::string& options = "");
    ~Ntfs3gMount();
    Ntfs3gMount(const Ntfs3gMount&) = delete;
    Ntfs3gMount& operator=(const Ntfs3gMount&) = delete;

    void unmount();
    // What ntfs-3g wrote (its log: with no_detach, standard error); whole
    // once unmounted.
    [[nodiscard]] const std::string& log() const { return log_; }

private:
    std::string mountPoint_;
    pid_t process_ = -1;
    int output_ = -1;
    bool pluginsBound_ = false;
    std::string log_;
};

}  // namespace ntfs3gtest
