/*
 * ntfs-3g's plugin for reparse tag 16, the archive placeholders.
 *
 * Without it, ntfs-3g shows a file whose tag it has no plugin for as a
 * symbolic link to "unsupported reparse tag 0x00000010", sized as that text:
 * a placeholder's size is lost, and stat(2) follows a link to nothing. With
 * it, a placeholder is the regular file it is on Windows, with the size and
 * the allocation of its data attribute, exactly as ntfs-3g gives them for an
 * ordinary file.
 *
 * Its data lives in the archive, and nothing here recalls it: a read, a
 * write and a truncation fail with EOPNOTSUPP, the errno ntfs-3g itself
 * gives for an operation a plugin leaves out. An open succeeds, in any mode,
 * because opening reads or writes no data: it is what Windows allows with
 * FILE_FLAG_OPEN_REPARSE_POINT, and what a tool needs to lock the file or to
 * rewrite its reparse data, which ntfs-3g keeps in the xattr
 * system.ntfs_reparse_data, not in the data. Deletion and rename are
 * ntfs-3g's own: it asks a plugin only when the parent folder is a reparse
 * point. (docs/ntfs-3g-plugin.md says more.)
 *
 * ntfs-3g loads this file as ntfs-plugin-00000010.so from its plugin folder
 * and calls init() with the first tag it sees whose bits outside 0x0000f000
 * are 0x10; the operations take the inode open and its reparse data read.
 */
#include <errno.h>
#include <stdarg.h>	/* ntfs-3g's headers use va_list, off_t and */
#include <stddef.h>	/* struct stat without including their headers */
#include <sys/stat.h>
#include <sys/types.h>

#include <ntfs-3g/plugin.h>

/* The archive placeholders' tag. */
#define PLACEHOLDER_TAG const_cpu_to_le32(0x00000010)

static int placeholder_getattr(ntfs_inode *ni, const REPARSE_POINT *reparse,
		struct stat *stbuf)
{
	/*
	 * A tag that differs from 16 only in the bits ntfs-3g ignores when it
	 * picks a plugin (0x00001010, ...) is not a placeholder: refused, it is
	 * shown as any tag without a plugin is.
	 */
	if (reparse->reparse_tag != PLACEHOLDER_TAG)
		return -EINVAL;
	/* As ntfs-3g gives an ordinary file; it applies the mount's fmask. */
	stbuf->st_mode = S_IFREG | 0777;
	stbuf->st_size = ni->data_size;
	stbuf->st_blocks = (ni->allocated_size + 511) >> 9;
	return 0;
}

static int placeholder_open(ntfs_inode *ni __attribute__((unused)),
		const REPARSE_POINT *reparse __attribute__((unused)),
		struct fuse_file_info *fi __attribute__((unused)))
{
	/* fi->fh stays 0: there is nothing to release. */
	return 0;
}

static int placeholder_read(ntfs_inode *ni __attribute__((unused)),
		const REPARSE_POINT *reparse __attribute__((unused)),
		char *buf __attribute__((unused)),
		size_t size __attribute__((unused)),
		off_t offset __attribute__((unused)),
		struct fuse_file_info *fi __attribute__((unused)))
{
	return -EOPNOTSUPP;	/* the data is in the archive */
}

static int placeholder_write(ntfs_inode *ni __attribute__((unused)),
		const REPARSE_POINT *reparse __attribute__((unused)),
		const char *buf __attribute__((unused)),
		size_t size __attribute__((unused)),
		off_t offset __attribute__((unused)),
		struct fuse_file_info *fi __attribute__((unused)))
{
	return -EOPNOTSUPP;
}

static int placeholder_truncate(ntfs_inode *ni __attribute__((unused)),
		const REPARSE_POINT *reparse __attribute__((unused)),
		off_t size __attribute__((unused)))
{
	/*
	 * ntfs-3g (2022.10.3) answers a truncation with -errno, not with what
	 * the plugin returns: without this, the caller would see whatever
	 * errno was left (ENOENT, here).
	 */
	errno = EOPNOTSUPP;
	return -EOPNOTSUPP;
}

/* The operations left out (readlink, the folder ones) are EOPNOTSUPP too. */
static const struct plugin_operations placeholder_operations = {
	.getattr = placeholder_getattr,
	.open = placeholder_open,
	.read = placeholder_read,
	.write = placeholder_write,
	.truncate = placeholder_truncate,
};

/* ntfs-3g's entry point, which the plugin interface names init. */
__attribute__((visibility("default")))
const struct plugin_operations *init(le32 tag)
{
	if (tag != PLACEHOLDER_TAG) {
		errno = EINVAL;
		return NULL;
	}
	return &placeholder_operations;
}
