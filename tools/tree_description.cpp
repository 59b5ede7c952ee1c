#include "tools/tree_description.h"

#include <stdexcept>

namespace treebuilder {

void buildFromDescription(const WString&, std::istream&)
{
    throw std::runtime_error("not built yet");
}

}  // namespace treebuilder
