// The site's pages and the catalogue they show; used by the routes in simsite.cpp only.
//
// Owns the page builder (style, navigation, links through the proxy) and one renderer per page.
// A renderer is handed what the route found and returns the whole page, header lines included.
// Never decides whether a page exists: the routes do.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "sim/simsite.h"

// One storage object of the catalogue.
struct SimObject {
    const char* cls;          // the class token: pools, nodes, schedules
    const char* name;         // may hold dots, slashes, blanks and colons
    const char* facts[5][2];  // label, value; unused rows are null
};

struct SimClass {
    const char* token;  // in the path: /class/TOKEN
    const char* title;  // as the pages name it
};

inline constexpr size_t kClassCount = 3;
inline constexpr size_t kObjectCount = 8;
extern const SimClass kClasses[kClassCount];
extern const SimObject kObjects[kObjectCount];

// Finds a class by its token, or null.
[[nodiscard]] const SimClass* findClass(std::string_view token);
// Finds an object of a class by its exact name, or null.
[[nodiscard]] const SimObject* findObject(std::string_view cls, std::string_view name);

// Builds one page: header lines, a styled document, and links addressed to the proxy.
class HtmlPage {
  public:
    HtmlPage(const SiteContext& context, const PageRequest& request, std::string_view title);
    // Appends markup as it is.
    void raw(std::string_view markup) { body_.append(markup); }
    // Appends text, HTML-escaped.
    void text(std::string_view plain) { body_.append(htmlEscape(plain)); }
    // Appends a link to `path` (server form, already encoded) that comes back through the proxy.
    void link(std::string_view path, std::string_view label);
    // The address of the proxy's CGI program, for form actions.
    [[nodiscard]] std::string proxyAction() const;
    // The whole page.
    [[nodiscard]] std::string finish() const;

  private:
    const SiteContext& context_;
    const PageRequest& request_;
    std::string title_;
    std::string body_;
};

// The path of an object page in the server's form: /class/CLS/object/NAME-ENCODED.
[[nodiscard]] std::string objectPath(const SimObject& object);

[[nodiscard]] std::string renderStart(const SiteContext& context, const PageRequest& request);
[[nodiscard]] std::string renderClass(const SiteContext& context, const PageRequest& request,
                                      const SimClass& cls);
[[nodiscard]] std::string renderObject(const SiteContext& context, const PageRequest& request,
                                       const SimObject& object);
[[nodiscard]] std::string renderTask(const SiteContext& context, const PageRequest& request,
                                     const SimObject& object, std::string_view task);
[[nodiscard]] std::string renderForm(const SiteContext& context, const PageRequest& request);
[[nodiscard]] std::string renderPosted(const SiteContext& context, const PageRequest& request);
// A page of exactly `bodyBytes` bytes after kPageHeader.
[[nodiscard]] std::string renderSized(size_t bodyBytes);
