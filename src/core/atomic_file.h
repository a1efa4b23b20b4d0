// Whole-file reads and crash-safe whole-file replacement, for files the server rewrites (its
// configuration file). A replacement writes a temporary file beside the old one, syncs it and
// renames it over the old one, so a reader or a crash sees either the old bytes or the new ones.
// Any thread; concurrent writers of one file must be serialised by the caller.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace pv {

// Reads the whole file into `out`. `exists` tells whether the file is there; the result is false
// only when it is there but cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out, bool& exists);

// The file a write must replace: the target of a symbolic link rather than the link itself.
std::string WriteTarget(const std::string& path);

// The folder part of a path: "." when it has none.
std::string DirName(const std::string& path);

// Whether the server may write the file or folder `path` whose mode is `mode`: access(`how`)
// allows it AND some write bit is set. Root passes every access() check, so the mode bits are
// what keeps a "chmod a-w" file read-only for root too.
bool MayWrite(const std::string& path, mode_t mode, int how);

// Replaces `target` by a file holding `bytes`. The temporary file is created private (0600), as
// it holds secrets; `old` (the stat of the file replaced, or null for a new file) gives the
// permission bits and owner it takes before the rename; a new file stays 0600. False on any
// failure, and then `target` is untouched and no temporary file is left behind (unless the
// process dies in between: see RemoveStaleTemporaries).
bool ReplaceFile(const std::string& target, std::string_view bytes, const struct stat* old);

// Removes the temporary files ReplaceFile left beside `target` when a process died while writing:
// names "<target>.<pid>.<n>.tmp" whose process is this one or gone, or which are older than a
// minute (a pid can be reused). Returns how many were removed.
int RemoveStaleTemporaries(const std::string& target);

}  // namespace pv
