// Helpers of the front-end tests: a temporary folder, whole files, the text a writer puts on a
// stream, the pages the program must write, and the built korproxy run as the web server or a
// console would, through tests/support/process.h, in a folder of its own with a store of its own.
//
// With KORPROXY_TEST_FASTCGI set, every run as the web server's goes instead as a FastCGI request
// to one long-lived korproxy per program folder, so that state one request leaves behind shows in
// the next; the process must end cleanly when its folder goes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "front/korproxy.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_state.h"
#include "front/korproxy_template.h"
#include "settings/psopts.h"
#include "settings/pssec.h"
#include "tests/support/process.h"

namespace fronttest {

using namespace proctest;

// The page's message for a URL that would end the command early.
inline constexpr char kBrokenUrl[] = "The URL holds a line break or a zero byte.";

// The long-lived processes of this test program, by program folder.
inline std::map<std::string, FastcgiServer>& fastcgiServers() {
    static std::map<std::string, FastcgiServer> servers;
    return servers;
}

// Stops the long-lived process of `dir`, if there is one, and expects a clean end.
inline void endFastcgiFor(const std::string& dir) {
    auto found = fastcgiServers().find(dir);
    if (found == fastcgiServers().end()) return;
    EXPECT_EQ(stopFastcgi(found->second), 0) << "the long-lived korproxy of " << dir;
    fastcgiServers().erase(found);
}

// A fresh folder under the system's temporary folder, removed with everything in it.
struct TempDir {
    std::filesystem::path path_ = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "korproxy-XXXXXX").string();
        return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }();
    TempDir() = default;
    TempDir(const TempDir&) = delete;
    ~TempDir() {
        endFastcgiFor(path_.string());
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
};

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The words of `text` between single blanks; none in an empty text.
inline std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> list;
    for (size_t at = 0; !text.empty() && at <= text.size();) {
        size_t end = std::min(text.find(' ', at), text.size());
        list.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return list;
}

// Whether `text` holds `part`, either way with both shown should the expectation fail.
inline ::testing::AssertionResult holds(const std::string& text, const std::string& part) {
    bool in = text.find(part) != std::string::npos;
    return (in ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << "\"" << part << (in ? "\" is in:\n" : "\" is not in:\n") << text;
}

// Everything `write` puts on the stream it is given.
inline std::string captured(const std::function<void(FILE*)>& write) {
    char* data = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&data, &size);
    if (out == nullptr) return "<no memstream>";
    write(out);
    fclose(out);
    std::string text(data, size);
    free(data);
    return text;
}

// The error page printErrorPage writes with `opts` as the stored options.
inline std::string errorPage(const std::string& message, int32_t code, OptionsRecord opts = {}) {
    OptionsRecord* saved = optsP;
    optsP = &opts;
    std::string page = captured([&](FILE* out) { printErrorPageTo(out, message.c_str(), code); });
    optsP = saved;
    return page;
}

// The template text rendered as the program renders its pages.
inline std::string rendered(std::string text, bool setupForm, const TemplateValues& values) {
    return captured([&](FILE* out) {
        FILE* in = text.empty() ? fopen("/dev/null", "r") : fmemopen(text.data(), text.size(), "r");
        if (in == nullptr) return;
        renderTemplate(in, out, setupForm, values);
        fclose(in);
    });
}

inline bool viaFastcgi() {
    static const bool on = getenv("KORPROXY_TEST_FASTCGI") != nullptr;
    return on;
}

// Runs korproxy in `dir` with only `env` set (plus KORPROXY_REGISTRY inside `dir`).
inline ProgramRun runKorproxy(const TempDir& dir, std::vector<std::string> env,
                              std::vector<std::string> args, const std::string& input = "") {
    env.push_back("KORPROXY_REGISTRY=" + dir.file("registry.db"));
    bool webRun = args.empty() || std::any_of(env.begin(), env.end(), [](const std::string& e) {
                      return e.starts_with("REQUEST_METHOD=");
                  });
    if (viaFastcgi() && webRun) {
        auto [at, added] = fastcgiServers().try_emplace(dir.path().string());
        if (added) at->second = startFastcgi(at->first, {env.back(), "KORPROXY_WORKERS=1"});
        return runFastcgiRequest(at->second, env, input);
    }
    args.insert(args.begin(), kKorproxy);
    return runProgram(std::move(args), std::move(env), input, dir.path().string());
}

inline ProgramRun runGet(const TempDir& dir, const std::string& query,
                         std::vector<std::string> env = {}) {
    env.push_back("REQUEST_METHOD=GET");
    env.push_back("QUERY_STRING=" + query);
    return runKorproxy(dir, env, {});
}

// `body` on standard input, its length in CONTENT_LENGTH unless `contentLength` names another.
inline ProgramRun runPost(const TempDir& dir, const std::string& body,
                          const std::string& contentLength = "") {
    std::string length = contentLength.empty() ? std::to_string(body.size()) : contentLength;
    return runKorproxy(dir, {"REQUEST_METHOD=POST", "CONTENT_LENGTH=" + length}, {}, body);
}

inline ProgramRun runCommand(const TempDir& dir, std::vector<std::string> args) {
    return runKorproxy(dir, {}, std::move(args));
}

// The program's folder with its shipped pages, the product texts read by the test process as the
// program reads them, and `commandLine` (when given) stored through the program.
struct Site {
    TempDir dir;
    explicit Site(const std::vector<std::string>& commandLine = {}) {
        for (const char* name :
             {"pxyjump.html", "pxycfgform.html", "pxylogonform.html", "prodname.txt"}) {
            writeFile(dir.file(name), readFile(std::string(KORPROXY_SOURCE_DIR "/web/") + name));
        }
        readProductNameFileAt(dir.file("prodname.txt").c_str());
        if (!commandLine.empty()) (void)runCommand(dir, commandLine);
    }
};

// A simulator started with `simArgs`, and a proxy's folder that signs on to it as the simulator's
// default administrator, its links pointing at the CGI folder /cgi-bin/velkproxy.
struct SimProxy {
    SimProcess sim;
    Site site{{"-proxyId=admin", "-proxyPassword=secret", "-cgiUrl=/cgi-bin/velkproxy"}};
    explicit SimProxy(std::vector<std::string> simArgs = {}) : sim(std::move(simArgs)) {}
    // The query's first field: the simulator as the server.
    std::string server() const { return "SERVER=" + sim.address(); }
};

// What the program runs in `dir` stored, as one text to compare.
struct Stored {
    OptionsRecord opts{};
    std::string id, password;
    int credentials = -99;
    std::string text() const {
        return std::string(opts.server) + "|" + opts.port + "|" + opts.traceFile + "|" +
               opts.cgiUrl + "|" + std::to_string(credentials) + "|" + id + "|" + password;
    }
};

inline Stored readStore(const TempDir& dir) {
    setenv("KORPROXY_REGISTRY", dir.file("registry.db").c_str(), 1);
    Stored stored;
    (void)psReadDefaultFile(&stored.opts);
    char id[kCredentialSize] = {}, password[kCredentialSize] = {};
    stored.credentials = psReadPasswordFile(id, password);
    stored.id = id;
    stored.password = password;
    unsetenv("KORPROXY_REGISTRY");
    return stored;
}

// One CGI answer: one header block at the start and, for an error page, one report and the page
// complete to its legal notice.
inline void expectOneCgiAnswer(const ProgramRun& run, const std::string& what) {
    const std::string& out = run.out;
    EXPECT_GE(run.status, 0) << what << ": did not exit normally";
    ASSERT_EQ(out.rfind("Content-type: text/html\n", 0), 0u) << what << "\n" << out;
    EXPECT_EQ(out.find("Content-type: text/html\n", 1), std::string::npos) << what;
    if (out.rfind("Content-type: text/html\n\r\n", 0) != 0) return;  // a page, not an error
    size_t report = out.find("<h2>Error!</h2>");
    EXPECT_NE(report, std::string::npos) << what;
    EXPECT_EQ(out.find("<h2>Error!</h2>", report + 1), std::string::npos) << what;
    const std::string foot = std::string("<br><i>") + kLegalNotice + "</i>\n";
    EXPECT_TRUE(out.ends_with(foot)) << what << "\n" << out;
}

}  // namespace fronttest
