#include "codepage.h"

#include <cerrno>
#include <stdexcept>

namespace palaver::chat {

Iconv::Iconv(const std::string& to, const std::string& from)
    : cd_(iconv_open(to.c_str(), from.c_str())) {}

Iconv::~Iconv() {
    if (valid()) {
        iconv_close(cd_);
    }
}

std::optional<std::string> Iconv::convert(const std::string& in, bool lenient) {
    std::string out;
    std::string src = in;  // iconv wants a non-const input pointer
    char* inp = src.data();
    std::size_t inleft = src.size();
    char buf[256];
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    for (;;) {
        char* outp = buf;
        std::size_t outleft = sizeof buf;
        const bool flushing = inleft == 0;
        const std::size_t r = flushing ? iconv(cd_, nullptr, nullptr, &outp, &outleft)
                                       : iconv(cd_, &inp, &inleft, &outp, &outleft);
        out.append(buf, outp);
        if (r != static_cast<std::size_t>(-1)) {
            if (flushing) {
                return out;
            }
            continue;
        }
        if (errno == E2BIG) {
            continue;
        }
        // EILSEQ, or EINVAL for a sequence cut off at the end of the input.
        if (!lenient) {
            return std::nullopt;
        }
        out += '?';
        ++inp;
        --inleft;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
}

Codepage::Codepage(const std::string& wire_name)
    : name_(wire_name),
      decode_("UTF-8", wire_name),
      encode_(wire_name, "UTF-8"),
      gbk_("UTF-8", "GBK") {
    if (!decode_.valid() || !encode_.valid() || !gbk_.valid()) {
        throw std::runtime_error("unknown code page: " + wire_name);
    }
}

std::string Codepage::to_utf8(const std::string& wire) {
    return *decode_.convert(wire, true);
}

std::optional<std::string> Codepage::from_utf8(const std::string& utf8) {
    return encode_.convert(utf8, false);
}

std::string Codepage::gbk_to_utf8(const std::string& gbk) {
    return *gbk_.convert(gbk, true);
}

}  // namespace palaver::chat
