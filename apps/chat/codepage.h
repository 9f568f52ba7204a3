// Conversion between the terminal's UTF-8 and the code page of the room's
// wire text (GBK unless the host says otherwise).
#ifndef PALAVER_CHAT_CODEPAGE_H
#define PALAVER_CHAT_CODEPAGE_H

#include <iconv.h>

#include <optional>
#include <string>

namespace palaver::chat {

// One iconv descriptor, closed with its owner.
class Iconv {
  public:
    Iconv(const std::string& to, const std::string& from);
    ~Iconv();
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `in`. With `lenient`, a byte sequence that cannot be
    // converted becomes '?' and the conversion goes on; without, it fails.
    std::optional<std::string> convert(const std::string& in, bool lenient);

  private:
    iconv_t cd_;
};

class Codepage {
  public:
    // Throws std::runtime_error when iconv does not know the code page.
    explicit Codepage(const std::string& wire_name);

    const std::string& name() const { return name_; }

    // Wire text to UTF-8; never fails: undecodable bytes show as '?'.
    std::string to_utf8(const std::string& wire);
    // UTF-8 to wire text; empty when a character has no form in the code page.
    std::optional<std::string> from_utf8(const std::string& utf8);
    // The library composes its notices in GBK whatever the host's code page.
    std::string gbk_to_utf8(const std::string& gbk);

  private:
    std::string name_;
    Iconv decode_;
    Iconv encode_;
    Iconv gbk_;
};

}  // namespace palaver::chat

#endif
