// The links of the project's Markdown documents, checked where a release
// unpacks them.
#pragma once

#include <string>

namespace testsupport {

// Every relative link [text](target) of README.md and of docs/*.md below
// `folder` names a file or folder that exists there (the part after '#' left
// out); links to other sites and to a place in the same document are not
// followed. Fails the test for each that does not, and when README.md is
// missing.
void expectLinksResolve(const std::string& folder);

}  // namespace testsupport
