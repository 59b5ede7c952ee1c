// The text description of a rehearsal tree, read line by line and built
// with tree_builder.h.
#pragma once

#include <istream>
#include <string>

#include "platform/win32.h"

namespace treebuilder {

// Builds every entry the description names below root. Throws
// std::runtime_error naming the line for a description it cannot read, and
// BuildError for a failed platform call.
void buildFromDescription(const WString& root, std::istream& description);

}  // namespace treebuilder
