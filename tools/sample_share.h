// The sample share's description, samples/sample-share.tree, built into the
// rehearsal: CMake writes it into the build whenever the file changes, so
// the program always carries the file's very text.
#pragma once

#include <string_view>

namespace rehearsal {
extern const std::string_view kSampleShareTree;
}
