#include "tests/support/document_links.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <vector>

#include "tests/support/test_support.h"

namespace fs = std::filesystem;

namespace testsupport {

void expectLinksResolve(const std::string& folder)
{
    std::vector<fs::path> documents = {fs::path(folder) / "README.md"};
    ASSERT_TRUE(fs::exists(documents.front())) << documents.front();
    if (fs::is_directory(fs::path(folder) / "docs")) {
        for (const auto& entry : fs::directory_iterator(fs::path(folder) / "docs")) {
            if (entry.path().extension() == ".md") {
                documents.push_back(entry.path());
            }
        }
    }
    // [text](target), the text on one line or over two.
    const std::regex link(R"(\]\(([^)\s]+)\))");
    std::size_t relative = 0;
    for (const fs::path& document : documents) {
        const std::string text = readFileBytes(document);
        for (std::sregex_iterator match(text.begin(), text.end(), link), last; match != last; ++match) {
            std::string target = (*match)[1].str();
            if (target.find("://") != std::string::npos || target.rfind("mailto:", 0) == 0 || target[0] == '#') {
                continue;
            }
            target = target.substr(0, target.find('#'));
            ++relative;
            EXPECT_TRUE(fs::exists(document.parent_path() / target))
                << document.filename() << " links to " << (*match)[1].str() << ", which is not in " << folder;
        }
    }
    EXPECT_GT(relative, 0u) << "no relative link at all in " << folder;
}

}  // namespace testsupport
