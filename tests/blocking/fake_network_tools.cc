#include "tests/blocking/fake_network_tools.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestralune::blocking_test {

namespace {

// Both scripts find a service's files by its name with "/" replaced by "_".
constexpr const char* kNetworksetupScript = R"sh(#!/bin/sh
S='@FOLDER@'
line=''
for argument in "$@"; do line="$line$argument	"; done
printf '%s\n' "$line" >> "$S/calls"
key=$(printf '%s' "$2" | tr '/' '_')
if [ -f "$S/svc/$key.fail$1" ]; then
  cat "$S/svc/$key.fail$1"
  exit "$(cat "$S/svc/$key.status$1")"
fi
if [ "$1" != "-listallnetworkservices" ] && [ ! -f "$S/svc/$key.enabled" ]; then
  echo "** Error: The parameters were not valid."
  exit 4
fi
case "$1" in
  -listallnetworkservices)
    echo "An asterisk (*) denotes that a network service is disabled."
    cat "$S/services"
    ;;
  -getautoproxyurl)
    url=$(cat "$S/svc/$key.url")
    [ -n "$url" ] || url='(null)'
    echo "URL: $url"
    echo "Enabled: $(cat "$S/svc/$key.enabled")"
    ;;
  -setautoproxyurl)
    printf '%s' "$3" > "$S/svc/$key.url"
    ;;
  -setautoproxystate)
    if [ "$3" = on ]; then echo Yes > "$S/svc/$key.enabled"; else echo No > "$S/svc/$key.enabled"; fi
    ;;
  *)
    echo "Error: unknown option $1"
    exit 1
    ;;
esac
)sh";

constexpr const char* kScutilScript = R"sh(#!/bin/sh
S='@FOLDER@'
if [ "$1" != "--proxy" ]; then echo "usage: scutil --proxy"; exit 1; fi
echo "<dictionary> {"
echo "  ExceptionsList : <array> {"
echo "    0 : *.local"
echo "  }"
echo "  FTPPassive : 1"
echo "  HTTPEnable : 0"
primary=$(grep -v '^\*' "$S/services" | head -n 1)
key=$(printf '%s' "$primary" | tr '/' '_')
if [ -n "$primary" ] && [ "$(cat "$S/svc/$key.enabled")" = "Yes" ]; then
  echo "  ProxyAutoConfigEnable : 1"
  url=$(cat "$S/svc/$key.url")
  if [ -n "$url" ]; then echo "  ProxyAutoConfigURLString : $url"; fi
else
  echo "  ProxyAutoConfigEnable : 0"
fi
echo "}"
)sh";

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeScript(const std::string& path, std::string text, const std::string& folder) {
    text.replace(text.find("@FOLDER@"), 8, folder);
    writeFile(path, text);
    chmod(path.c_str(), 0755);
}

}  // namespace

FakeNetworkTools::FakeNetworkTools() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestralune-tools-XXXXXX");
    if (!mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    folder = pattern;
    std::filesystem::create_directory(folder + "/svc");
    writeFile(folder + "/services", "");
    writeScript(networksetupPath(), kNetworksetupScript, folder);
    writeScript(scutilPath(), kScutilScript, folder);
}

FakeNetworkTools::~FakeNetworkTools() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

std::string FakeNetworkTools::serviceFile(const std::string& name,
                                          const std::string& suffix) const {
    std::string key = name;
    std::replace(key.begin(), key.end(), '/', '_');
    return folder + "/svc/" + key + suffix;
}

void FakeNetworkTools::addService(const std::string& name, bool enabled, const std::string& url,
                                  bool disabledService) {
    std::ofstream(folder + "/services", std::ios::app)
        << (disabledService ? "*" : "") << name << "\n";
    setService(name, enabled, url);
}

void FakeNetworkTools::setService(const std::string& name, bool enabled, const std::string& url) {
    writeFile(serviceFile(name, ".enabled"), enabled ? "Yes\n" : "No\n");
    writeFile(serviceFile(name, ".url"), url);
}

bool FakeNetworkTools::serviceEnabled(const std::string& name) const {
    return readFile(serviceFile(name, ".enabled")) == "Yes\n";
}

std::string FakeNetworkTools::serviceUrl(const std::string& name) const {
    return readFile(serviceFile(name, ".url"));
}

void FakeNetworkTools::failCommand(const std::string& name, const std::string& command,
                                   const std::string& output, int status) {
    writeFile(serviceFile(name, ".fail" + command), output + "\n");
    writeFile(serviceFile(name, ".status" + command), std::to_string(status));
}

void FakeNetworkTools::clearFailures(const std::string& name) {
    for (const char* command : {"-getautoproxyurl", "-setautoproxyurl", "-setautoproxystate",
                                "-listallnetworkservices"}) {
        std::filesystem::remove(serviceFile(name, std::string(".fail") + command));
    }
}

std::vector<std::vector<std::string>> FakeNetworkTools::calls() const {
    std::vector<std::vector<std::string>> result;
    std::istringstream lines(readFile(folder + "/calls"));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> arguments;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos;
             start = tab + 1) {
            arguments.push_back(line.substr(start, tab - start));
        }
        result.push_back(std::move(arguments));
    }
    return result;
}

void FakeNetworkTools::clearCalls() {
    std::filesystem::remove(folder + "/calls");
}

}  // namespace kestralune::blocking_test
