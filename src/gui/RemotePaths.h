#pragma once

#include <QString>

namespace veltrix {

// The partner's paths as the file manager builds them. Remote paths always use "/" between a
// folder and a name; the empty path stands for the top of the partner's tree (its drive list,
// which on this system is the entries of "/").
namespace remote_paths {

// `name` inside `folder`. In the top view ("" or "/") a rooted name (a drive such as "C:/", or a
// path starting with a separator) stands alone and any other name is under "/"; elsewhere the name
// follows the folder after a "/" unless the folder already ends in "/" or "\".
QString join(const QString& folder, const QString& name);

// The folder one level up from `path`: the top view ("") for a drive root ("C:/", "C:"), a folder
// directly under "/" and a single name; a drive's root ("C:/") for a folder directly on a drive,
// which the partner would refuse as the bare "C:"; otherwise everything before the last separator.
// The top view has no parent: it gives the empty path.
QString parent(const QString& path);

// Whether a name from the partner may become one component of a local path: not empty, not "."
// or "..", and without "/", "\" or NUL, so that it can never climb out of or reach past the
// folder it is put in.
bool isPlainName(const QString& name);

// The last component of a remote path ("" for a drive root or the top view).
QString fileName(const QString& path);

}  // namespace remote_paths
}  // namespace veltrix
