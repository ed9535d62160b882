// What the fuzz targets share: an input is a few parameter lines (each up to
// the first LF) followed by the text a parser reads; and a check that stops
// the run when a property of the parse does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace bw::fuzz {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size)
        : text_(reinterpret_cast<const char*>(data), size) {}
    /// The next parameter line (without its LF); "" when the input is used up.
    std::string Line() {
        const std::size_t lf = text_.find('\n', pos_);
        const std::size_t end = lf == std::string::npos ? text_.size() : lf;
        std::string line = text_.substr(pos_, end - pos_);
        pos_ = lf == std::string::npos ? text_.size() : lf + 1;
        return line;
    }
    /// Everything after the parameter lines taken.
    std::string Rest() const { return text_.substr(pos_); }

  private:
    std::string text_;
    std::size_t pos_ = 0;
};

#define BW_FUZZ_CHECK(cond)                                                               \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (false)

}  // namespace bw::fuzz
