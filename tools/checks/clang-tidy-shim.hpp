// Read by clang-tidy only (tools/checks/30-static-analysis.sh), never by a build.
//
// libstdc++'s <source_location> needs __builtin_source_location, which clang gained only in
// version 15; with an older clang the header defines nothing and the frame does not parse. This
// gives the analyser an equivalent std::source_location, so that it sees the code as GCC does.
#pragma once
#include <version>
#if !defined(__cpp_lib_source_location) && !__has_builtin(__builtin_source_location)
#include <cstdint>
namespace std {
struct source_location {
    static constexpr source_location current(std::uint_least32_t line = __builtin_LINE(),
                                             const char* file = __builtin_FILE(),
                                             const char* function = __builtin_FUNCTION()) noexcept {
        source_location loc;
        loc.line_ = line;
        loc.file_ = file;
        loc.function_ = function;
        return loc;
    }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return 0; }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return function_; }

private:
    std::uint_least32_t line_ = 0;
    const char* file_ = "";
    const char* function_ = "";
};
}  // namespace std
#endif
