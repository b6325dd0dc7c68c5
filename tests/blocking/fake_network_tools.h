#pragma once

#include <string>
#include <vector>

namespace kestralune::blocking_test {

// Stand-ins for networksetup and scutil: shell scripts in a temporary folder that keep
// each service's automatic-proxy URL and state in files there and print the real tools'
// output forms. Every networksetup call is appended to a log.
class FakeNetworkTools {
  public:
    FakeNetworkTools();
    ~FakeNetworkTools();
    FakeNetworkTools(const FakeNetworkTools&) = delete;
    FakeNetworkTools& operator=(const FakeNetworkTools&) = delete;

    std::string networksetupPath() const { return folder + "/networksetup"; }
    std::string scutilPath() const { return folder + "/scutil"; }

    // Services are listed in the order added; a disabled one is listed with "*". The first
    // enabled service is the primary one, whose setting scutil reports.
    void addService(const std::string& name, bool enabled, const std::string& url,
                    bool disabledService = false);
    void setService(const std::string& name, bool enabled, const std::string& url);
    bool serviceEnabled(const std::string& name) const;
    std::string serviceUrl(const std::string& name) const;

    // Makes one networksetup command ("-setautoproxystate", ...) for this service print
    // `output` and exit with `status`, without changing anything.
    void failCommand(const std::string& name, const std::string& command,
                     const std::string& output = "Error: The operation failed.", int status = 0);
    void clearFailures(const std::string& name);

    // The networksetup calls so far, each as its argument list.
    std::vector<std::vector<std::string>> calls() const;
    void clearCalls();

    const std::string& path() const { return folder; }

  private:
    std::string serviceFile(const std::string& name, const std::string& suffix) const;
    std::string folder;
};

}  // namespace kestralune::blocking_test
