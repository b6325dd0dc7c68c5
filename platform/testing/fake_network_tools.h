#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace kestralune {

// Stand-ins for networksetup and scutil, for the real tool runner to run: shell scripts in
// `folder` that keep each service's URL and state in files beside them, print the real
// tools' output forms and log every networksetup call. scutil reports the first enabled
// service, as the system reports the primary one. The folder must outlive the tools.
class FakeNetworkTools {
  public:
    explicit FakeNetworkTools(std::filesystem::path folder) : folder(std::move(folder)) {
        const std::string root = "#!/bin/sh\nS='" + this->folder.string() + "'\n";
        write("networksetup", root + R"sh(echo "$*" >> "$S/calls"
k="$S/$(printf '%s' "$2" | tr / _)"
if [ -f "$k$1" ]; then . "$k$1"; fi
if [ "$1" != -listallnetworkservices ] && [ ! -f "$k.on" ]; then
  echo "** Error: The parameters were not valid."; exit 4
fi
case "$1" in
  -listallnetworkservices)
    echo "An asterisk (*) denotes that a network service is disabled."; cat "$S/services" ;;
  -getautoproxyurl) url=$(cat "$k.url"); echo "URL: ${url:-(null)}"; echo "Enabled: $(cat "$k.on")" ;;
  -setautoproxyurl) printf '%s' "$3" > "$k.url" ;;
  -setautoproxystate) if [ "$3" = on ]; then echo Yes; else echo No; fi > "$k.on" ;;
esac
)sh",
              true);
        write("scutil", root + R"sh(echo "<dictionary> {"
echo "  HTTPEnable : 0"
k="$S/$(grep -v '^\*' "$S/services" | head -n 1 | tr / _)"
if [ "$(cat "$k.on")" = Yes ]; then
  echo "  ProxyAutoConfigEnable : 1"; echo "  ProxyAutoConfigURLString : $(cat "$k.url")"
else echo "  ProxyAutoConfigEnable : 0"; fi
echo "}"
)sh",
              true);
    }

    std::string path(const char* tool) const { return (folder / tool).string(); }
    // The listing's lines after its header; "*" before a name marks the service disabled.
    void listServices(const std::string& lines) { write("services", lines); }
    void setService(const std::string& name, bool enabled, const std::string& url) {
        write(key(name) + ".on", enabled ? "Yes\n" : "No\n");
        write(key(name) + ".url", url);
    }
    bool enabled(const std::string& name) const { return read(key(name) + ".on") == "Yes\n"; }
    std::string url(const std::string& name) const { return read(key(name) + ".url"); }
    // Makes `command` for this service print `output` and exit with `status`, changing nothing.
    void failCommand(const std::string& name, const std::string& command, const std::string& output,
                     int status = 0) {
        write(key(name) + command, "echo '" + output + "'; exit " + std::to_string(status));
    }
    void clearFailure(const std::string& name, const std::string& command) {
        std::filesystem::remove(folder / (key(name) + command));
    }
    // The networksetup calls so far, each as its arguments joined by spaces, or only those
    // whose first argument begins with `prefix`.
    std::vector<std::string> calls(const std::string& prefix = "") const {
        std::vector<std::string> matching;
        std::istringstream lines(read("calls"));
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with(prefix)) {
                matching.push_back(line);
            }
        }
        return matching;
    }
    void clearCalls() { std::filesystem::remove(folder / "calls"); }

  private:
    static std::string key(std::string name) {
        std::replace(name.begin(), name.end(), '/', '_');
        return name;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(folder / name);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void write(const std::string& name, const std::string& contents, bool program = false) {
        std::ofstream(folder / name, std::ios::trunc) << contents;
        if (program) {
            std::filesystem::permissions(folder / name, std::filesystem::perms::owner_all);
        }
    }

    std::filesystem::path folder;
};

}  // namespace kestralune
