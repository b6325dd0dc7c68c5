#pragma once

#include "platform/url_opener.h"

#include <string>
#include <vector>

namespace kestralune {

// Records every URL it is asked to open and answers with a fixed acceptance.
class FakeUrlOpener final : public UrlOpener {
  public:
    explicit FakeUrlOpener(bool accepts = true) : accepts(accepts) {}

    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return accepts;
    }

    void setAccepts(bool value) { accepts = value; }
    const std::vector<std::string>& openedURLs() const { return opened; }

  private:
    bool accepts;
    std::vector<std::string> opened;
};

}  // namespace kestralune
