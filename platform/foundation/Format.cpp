#include "foundation/Format.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace platform {

namespace {

template <typename I>
I saturate(double d) {
  if (std::isnan(d)) return 0;
  if (d <= static_cast<double>(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
  if (d >= static_cast<double>(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
  return static_cast<I>(d);
}

template <typename T>
void appendPrintf(std::string& out, const std::string& spec, T value) {
  char buffer[128];
  int n = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) < sizeof buffer) {
    out.append(buffer, static_cast<std::size_t>(n));
    return;
  }
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
  big.resize(static_cast<std::size_t>(n));
  out += big;
}

}  // namespace

std::int64_t FormatArg::intValue() const {
  switch (kind_) {
    case Kind::Int: return i_;
    case Kind::UInt: return static_cast<std::int64_t>(u_);
    case Kind::Double: return saturate<std::int64_t>(d_);
    case Kind::Value: return v_->int64Value().value_or(0);
    case Kind::Pointer: return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(p_));
    case Kind::String: return 0;
  }
  return 0;
}

std::uint64_t FormatArg::uintValue() const {
  switch (kind_) {
    case Kind::Int: return static_cast<std::uint64_t>(i_);
    case Kind::UInt: return u_;
    case Kind::Double:
      return d_ < 0 ? static_cast<std::uint64_t>(saturate<std::int64_t>(d_)) : saturate<std::uint64_t>(d_);
    case Kind::Value: return v_->uint64Value().value_or(0);
    case Kind::Pointer: return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p_));
    case Kind::String: return 0;
  }
  return 0;
}

double FormatArg::doubleValue() const {
  switch (kind_) {
    case Kind::Int: return static_cast<double>(i_);
    case Kind::UInt: return static_cast<double>(u_);
    case Kind::Double: return d_;
    case Kind::Value: return v_->doubleValue().value_or(0.0);
    case Kind::Pointer:
    case Kind::String: return 0.0;
  }
  return 0.0;
}

std::string FormatArg::text() const {
  switch (kind_) {
    case Kind::Int: return std::to_string(i_);
    case Kind::UInt: return std::to_string(u_);
    case Kind::Double: return Value(d_).description();
    case Kind::String: return null_ ? std::string("(null)") : std::string(s_);
    case Kind::Value: return v_->isNull() ? std::string("(null)") : v_->description();
    case Kind::Pointer: {
      std::string out;
      appendPrintf(out, "%p", p_);
      return out;
    }
  }
  return {};
}

std::string formatArgs(std::string_view fmt, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  const FormatArg* next = args.begin();
  const FormatArg* last = args.end();
  auto take = [&]() -> const FormatArg* { return next < last ? next++ : nullptr; };

  std::size_t i = 0;
  while (i < fmt.size()) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    std::size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::string spec = "%";
    while (i < fmt.size() && std::string_view("-+ #0'").find(fmt[i]) != std::string_view::npos) {
      if (fmt[i] != '\'') spec += fmt[i];
      ++i;
    }
    if (i < fmt.size() && fmt[i] == '*') {
      const FormatArg* a = take();
      spec += std::to_string(a ? a->intValue() : 0);
      ++i;
    } else {
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') spec += fmt[i++];
    }
    if (i < fmt.size() && fmt[i] == '.') {
      spec += fmt[i++];
      if (i < fmt.size() && fmt[i] == '*') {
        const FormatArg* a = take();
        std::int64_t precision = a ? a->intValue() : 0;
        spec += std::to_string(precision < 0 ? 0 : precision);
        ++i;
      } else {
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') spec += fmt[i++];
      }
    }
    while (i < fmt.size() && std::string_view("hlLqjzt").find(fmt[i]) != std::string_view::npos) ++i;
    if (i >= fmt.size()) {
      out.append(fmt.substr(start));
      break;
    }
    char conversion = fmt[i++];
    switch (conversion) {
      case '@':
      case 's': {
        const FormatArg* a = take();
        if (a == nullptr) break;
        appendPrintf(out, spec + "s", a->text().c_str());
        break;
      }
      case 'd':
      case 'i': {
        const FormatArg* a = take();
        if (a == nullptr) break;
        appendPrintf(out, spec + "lld", static_cast<long long>(a->intValue()));
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        const FormatArg* a = take();
        if (a == nullptr) break;
        appendPrintf(out, spec + "ll" + conversion, static_cast<unsigned long long>(a->uintValue()));
        break;
      }
      case 'c': {
        const FormatArg* a = take();
        if (a == nullptr) break;
        appendPrintf(out, spec + "c", static_cast<int>(a->intValue()));
        break;
      }
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'e':
      case 'E':
      case 'a':
      case 'A': {
        const FormatArg* a = take();
        if (a == nullptr) break;
        appendPrintf(out, spec + conversion, a->doubleValue());
        break;
      }
      case 'p': {
        const FormatArg* a = take();
        if (a == nullptr) break;
        appendPrintf(out, spec + "p", reinterpret_cast<const void*>(static_cast<std::uintptr_t>(a->uintValue())));
        break;
      }
      default:
        out.append(fmt.substr(start, i - start));
        break;
    }
  }
  return out;
}

}  // namespace platform
