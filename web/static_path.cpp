#include "web/static_path.h"

#include <algorithm>
#include <cctype>

namespace {

// The names the web library runs by default (CGI, SSI). Both are switched
// off, so these would only show somebody's script as text.
constexpr std::string_view kScriptSuffixes[] = {".cgi", ".pl", ".php", ".shtml", ".shtm"};

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<long>(suffix.size()),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

// Dotfiles and dot-folders (.git, .ssh, .env) are never content.
bool HasHiddenPart(std::string_view uri) {
    for (size_t slash = uri.find('/'); slash != std::string_view::npos; slash = uri.find('/', slash + 1)) {
        if (slash + 1 < uri.size() && uri[slash + 1] == '.') return true;
    }
    return false;
}

bool InsideFolder(std::string_view path, std::string_view root) {
    if (!path.starts_with(root)) return false;
    return path.size() == root.size() || root.ends_with('/') || path[root.size()] == '/';
}

}  // namespace

bool IsServable(std::string_view uri, const PathFacts& facts, std::string_view root) {
    if (!uri.starts_with('/') || HasHiddenPart(uri)) return false;
    if (std::any_of(std::begin(kScriptSuffixes), std::end(kScriptSuffixes),
                    [&](std::string_view suffix) { return EndsWithNoCase(uri, suffix); })) {
        return false;
    }
    // Never FIFOs, sockets or devices: opening a FIFO blocks a worker for good.
    if (!facts.found || !(facts.regular || facts.directory)) return false;
    return InsideFolder(facts.realPath, root);
}
