#include "front/korproxy_prodname.h"

#include <gtest/gtest.h>

#include <string>

#include "front_testing.h"

namespace {

using Texts = std::pair<std::string, std::string>;  // name, version

// `content` of "-" stands for a missing file.
Texts readFrom(const std::string& content) {
    fronttest::TempDir dir;
    std::string path = dir.file("prodname.txt");
    if (content != "-") fronttest::writeFile(path, content);
    readProductNameFileAt(path.c_str());
    return {productName, productVersion};
}

TEST(ProductNameFile, NameAndVersionLines) {
    const std::string x242(242, 'x');
    const std::pair<std::string, Texts> cases[] = {
        {"product.name=Backup Web\nproduct.version = 5.2\n", {"Backup Web", " 5.2"}},
        {"product.name\n", {"korproxy", ""}},
        {"product.name=A\nproduct.version\n", {"A", "1.0"}},
        {"# only\n# comments\n", {"", ""}},
        {"product.verbose=x", {"", "x"}},
        {"product.name=A\r\nproduct.version=3\r\n", {"A", "3"}},
        {"product.name=A\nproduct.name=B\n", {"B", ""}},
        {"#product.name=A\n product.name=B\nname=C\n", {"", ""}},
        {"product.names=a=b", {"a=b", ""}},
        {"", {"", ""}},
        {"-", {"korproxy", "1.0"}},
        // A line is cut at 255 characters; its rest is dropped, not read as a line of its own.
        {"product.name=" + std::string(300, 'x') + "\nproduct.version=7\n", {x242, "7"}},
        {"#" + std::string(254, 'x') + "product.version=9\n", {"", ""}},
    };
    for (const auto& [content, expected] : cases) {
        EXPECT_EQ(readFrom(content), expected) << content;
    }
}

}  // namespace
