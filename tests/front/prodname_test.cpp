#include "front/korproxy_prodname.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

std::vector<std::string> linesOf(const std::string& content, size_t bufferSize) {
    fronttest::TempDir dir;
    std::string path = dir.file("lines.txt");
    fronttest::writeFile(path, content);
    FILE* file = fopen(path.c_str(), "r");
    std::vector<std::string> lines;
    std::vector<char> buffer(bufferSize, '#');
    while (moreLines(file) && lines.size() < 100) {
        readLine(file, buffer.data(), buffer.size());
        lines.emplace_back(buffer.data());
    }
    fclose(file);
    return lines;
}

TEST(ReadLine, EndOfFileLoopAndLineEnds) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(linesOf("a\nb", 16), (Lines{"a", "b"}));
    EXPECT_EQ(linesOf("a\nb\n", 16), (Lines{"a", "b", ""}))
        << "a last newline yields one more line";
    EXPECT_EQ(linesOf("", 16), (Lines{""}));
    EXPECT_EQ(linesOf("a\r\n\r\nb\rc\n", 16), (Lines{"a", "", "bc", ""}));
    EXPECT_EQ(linesOf("abcdef\ngh\n", 4), (Lines{"abc", "gh", ""}));
    EXPECT_EQ(linesOf("abc\n", 4), (Lines{"abc", ""})) << "a line that just fits is whole";
}

}  // namespace
