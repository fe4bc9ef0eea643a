#include "xctest/NSPredicate.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <cctype>
#include <cmath>
#include <optional>
#include <sstream>

#include "foundation/RegularExpression.h"
#include "xctest/XCTestInternal.h"

namespace xctest::detail {

enum class Op { eq, ne, lt, le, gt, ge, contains, beginsWith, endsWith, like, matches };

struct Operand {
  bool isKey = false;
  std::string key;
  NSPredicateValue constant;
};

struct PredicateNode {
  enum class Kind { conjunction, disjunction, negation, alwaysTrue, alwaysFalse, comparison };
  Kind kind = Kind::alwaysTrue;
  std::vector<std::shared_ptr<const PredicateNode>> children;
  Operand lhs;
  Operand rhs;
  Op op = Op::eq;
  bool caseInsensitive = false;
  bool diacriticInsensitive = false;
};

}  // namespace xctest::detail

using xctest::detail::Op;
using xctest::detail::Operand;
using xctest::detail::PredicateNode;

namespace {

[[noreturn]] void parseError(const std::string& format, const std::string& detail) {
  xctest::detail::throwProgrammingError("NSInvalidArgumentException",
                                        "Unable to parse the format string \"" + format + "\" (" + detail + ")");
}

struct Token {
  enum class Kind { end, word, text, number, symbol, argument };
  Kind kind = Kind::end;
  std::string text;
  double number = 0;
};

std::string upper(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

class Parser {
 public:
  Parser(const std::string& format, std::vector<NSPredicateValue> arguments)
      : format_(format), arguments_(std::move(arguments)) {
    tokenize();
  }

  std::shared_ptr<const PredicateNode> parse() {
    auto node = parseOr();
    if (peek().kind != Token::Kind::end) parseError(format_, "unexpected \"" + peek().text + "\"");
    if (nextArgument_ != arguments_.size())
      parseError(format_, std::to_string(arguments_.size()) + " arguments for " + std::to_string(nextArgument_) +
                              " placeholders");
    return node;
  }

 private:
  void tokenize() {
    const std::string& s = format_;
    std::size_t i = 0;
    while (i < s.size()) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (std::isspace(c)) {
        ++i;
      } else if (c == '\'' || c == '"') {
        char quote = s[i++];
        std::string text;
        bool closed = false;
        while (i < s.size()) {
          char d = s[i++];
          if (d == quote) {
            closed = true;
            break;
          }
          if (d == '\\' && i < s.size()) {
            char e = s[i++];
            switch (e) {
              case 'n': text += '\n'; break;
              case 't': text += '\t'; break;
              case 'r': text += '\r'; break;
              default: text += e; break;
            }
          } else {
            text += d;
          }
        }
        if (!closed) parseError(format_, "unterminated quoted text");
        tokens_.push_back({Token::Kind::text, text, 0});
      } else if (std::isdigit(c) || ((c == '-' || c == '+' || c == '.') && i + 1 < s.size() &&
                                     std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
        std::size_t start = i++;
        while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.' || s[i] == 'e' ||
                                s[i] == 'E'))
          ++i;
        std::string number = s.substr(start, i - start);
        char* end = nullptr;
        double v = std::strtod(number.c_str(), &end);
        if (end != number.c_str() + number.size()) parseError(format_, "bad number " + number);
        tokens_.push_back({Token::Kind::number, number, v});
      } else if (std::isalpha(c) || c == '_' || c == '$') {
        std::size_t start = i++;
        while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' || s[i] == '.')) ++i;
        tokens_.push_back({Token::Kind::word, s.substr(start, i - start), 0});
      } else if (c == '%') {
        if (i + 1 < s.size() && s[i + 1] == '@') {
          tokens_.push_back({Token::Kind::argument, "%@", 0});
          i += 2;
        } else {
          parseError(format_, "only %@ placeholders are supported");
        }
      } else {
        static const char* symbols[] = {"==", "!=", "<>", "<=", ">=", "=<", "=>", "&&", "||",
                                        "=",  "<",  ">",  "!",  "(",  ")",  "[",  "]"};
        bool matched = false;
        for (const char* sym : symbols) {
          std::size_t n = std::char_traits<char>::length(sym);
          if (s.compare(i, n, sym) == 0) {
            tokens_.push_back({Token::Kind::symbol, sym, 0});
            i += n;
            matched = true;
            break;
          }
        }
        if (!matched) parseError(format_, std::string("unexpected character '") + s[i] + "'");
      }
    }
    tokens_.push_back({Token::Kind::end, "end of format", 0});
  }

  const Token& peek() const { return tokens_[pos_]; }
  Token next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }
  bool acceptWord(const char* word) {
    if (peek().kind == Token::Kind::word && upper(peek().text) == word) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool acceptSymbol(const char* sym) {
    if (peek().kind == Token::Kind::symbol && peek().text == sym) {
      ++pos_;
      return true;
    }
    return false;
  }

  std::shared_ptr<const PredicateNode> parseOr() {
    auto first = parseAnd();
    std::vector<std::shared_ptr<const PredicateNode>> parts{first};
    while (acceptWord("OR") || acceptSymbol("||")) parts.push_back(parseAnd());
    if (parts.size() == 1) return first;
    auto node = std::make_shared<PredicateNode>();
    node->kind = PredicateNode::Kind::disjunction;
    node->children = std::move(parts);
    return node;
  }

  std::shared_ptr<const PredicateNode> parseAnd() {
    auto first = parseNot();
    std::vector<std::shared_ptr<const PredicateNode>> parts{first};
    while (acceptWord("AND") || acceptSymbol("&&")) parts.push_back(parseNot());
    if (parts.size() == 1) return first;
    auto node = std::make_shared<PredicateNode>();
    node->kind = PredicateNode::Kind::conjunction;
    node->children = std::move(parts);
    return node;
  }

  std::shared_ptr<const PredicateNode> parseNot() {
    if (acceptWord("NOT") || acceptSymbol("!")) {
      auto node = std::make_shared<PredicateNode>();
      node->kind = PredicateNode::Kind::negation;
      node->children.push_back(parseNot());
      return node;
    }
    if (acceptSymbol("(")) {
      auto inner = parseOr();
      if (!acceptSymbol(")")) parseError(format_, "missing )");
      return inner;
    }
    if (acceptWord("TRUEPREDICATE")) {
      auto node = std::make_shared<PredicateNode>();
      node->kind = PredicateNode::Kind::alwaysTrue;
      return node;
    }
    if (acceptWord("FALSEPREDICATE")) {
      auto node = std::make_shared<PredicateNode>();
      node->kind = PredicateNode::Kind::alwaysFalse;
      return node;
    }
    return parseComparison();
  }

  std::shared_ptr<const PredicateNode> parseComparison() {
    auto node = std::make_shared<PredicateNode>();
    node->kind = PredicateNode::Kind::comparison;
    node->lhs = parseOperand();
    const Token& t = peek();
    if (t.kind == Token::Kind::symbol) {
      const std::string& s = t.text;
      if (s == "==" || s == "=") node->op = Op::eq;
      else if (s == "!=" || s == "<>") node->op = Op::ne;
      else if (s == "<") node->op = Op::lt;
      else if (s == "<=" || s == "=<") node->op = Op::le;
      else if (s == ">") node->op = Op::gt;
      else if (s == ">=" || s == "=>") node->op = Op::ge;
      else parseError(format_, "expected an operator, found \"" + s + "\"");
      ++pos_;
    } else if (t.kind == Token::Kind::word) {
      std::string w = upper(t.text);
      if (w == "CONTAINS") node->op = Op::contains;
      else if (w == "BEGINSWITH") node->op = Op::beginsWith;
      else if (w == "ENDSWITH") node->op = Op::endsWith;
      else if (w == "LIKE") node->op = Op::like;
      else if (w == "MATCHES") node->op = Op::matches;
      else parseError(format_, "expected an operator, found \"" + t.text + "\"");
      ++pos_;
    } else {
      parseError(format_, "expected an operator, found \"" + t.text + "\"");
    }
    if (acceptSymbol("[")) {
      Token flags = next();
      if (flags.kind != Token::Kind::word) parseError(format_, "bad comparison options");
      for (char f : flags.text) {
        if (f == 'c' || f == 'C') node->caseInsensitive = true;
        else if (f == 'd' || f == 'D') node->diacriticInsensitive = true;
        else parseError(format_, std::string("unknown comparison option '") + f + "'");
      }
      if (!acceptSymbol("]")) parseError(format_, "missing ]");
    }
    node->rhs = parseOperand();
    return node;
  }

  Operand parseOperand() {
    Token t = next();
    Operand o;
    switch (t.kind) {
      case Token::Kind::text: o.constant = t.text; return o;
      case Token::Kind::number: o.constant = t.number; return o;
      case Token::Kind::argument:
        if (nextArgument_ >= arguments_.size()) parseError(format_, "too few arguments");
        o.constant = arguments_[nextArgument_++];
        return o;
      case Token::Kind::word: {
        std::string w = upper(t.text);
        if (w == "TRUE" || w == "YES") o.constant = true;
        else if (w == "FALSE" || w == "NO") o.constant = false;
        else if (w == "NIL" || w == "NULL") o.constant = std::monostate{};
        else if (w == "AND" || w == "OR" || w == "NOT" || w == "CONTAINS" || w == "BEGINSWITH" ||
                 w == "ENDSWITH" || w == "LIKE" || w == "MATCHES")
          parseError(format_, "expected a value, found \"" + t.text + "\"");
        else {
          o.isKey = true;
          o.key = t.text;
        }
        return o;
      }
      default: parseError(format_, "expected a value, found \"" + t.text + "\"");
    }
  }

  std::string format_;
  std::vector<NSPredicateValue> arguments_;
  std::size_t nextArgument_ = 0;
  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
};

// --- evaluation ------------------------------------------------------------------------------

std::string foldText(const std::string& text, bool caseInsensitive, bool diacriticInsensitive) {
  if (!caseInsensitive && !diacriticInsensitive) return text;
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  if (diacriticInsensitive) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_SUCCESS(status)) {
      icu::UnicodeString decomposed = nfd->normalize(u, status);
      if (U_SUCCESS(status)) {
        icu::UnicodeString stripped;
        for (int32_t i = 0; i < decomposed.length();) {
          UChar32 c = decomposed.char32At(i);
          if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
          i += U16_LENGTH(c);
        }
        u = stripped;
      }
    }
  }
  if (caseInsensitive) u.foldCase();
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::u32string toUtf32(const std::string& text) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
  std::u32string out;
  for (int32_t i = 0; i < u.length();) {
    UChar32 c = u.char32At(i);
    out.push_back(static_cast<char32_t>(c));
    i += U16_LENGTH(c);
  }
  return out;
}

bool wildcardMatch(const std::u32string& text, const std::u32string& pattern) {
  std::size_t t = 0, p = 0, star = std::u32string::npos, mark = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == U'*') {
      star = p++;
      mark = t;
    } else if (star != std::u32string::npos) {
      p = star + 1;
      t = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == U'*') ++p;
  return p == pattern.size();
}

std::optional<double> asNumber(const NSPredicateValue& v) {
  if (auto b = std::get_if<bool>(&v)) return *b ? 1.0 : 0.0;
  if (auto d = std::get_if<double>(&v)) return *d;
  return std::nullopt;
}

bool compare(const PredicateNode& node, const NSPredicateValue& a, const NSPredicateValue& b) {
  const bool aNil = std::holds_alternative<std::monostate>(a);
  const bool bNil = std::holds_alternative<std::monostate>(b);
  const auto* as = std::get_if<std::string>(&a);
  const auto* bs = std::get_if<std::string>(&b);
  switch (node.op) {
    case Op::eq:
    case Op::ne: {
      bool equal;
      if (aNil || bNil) equal = aNil && bNil;
      else if (as && bs) equal = foldText(*as, node.caseInsensitive, node.diacriticInsensitive) ==
                                 foldText(*bs, node.caseInsensitive, node.diacriticInsensitive);
      else if (as || bs) equal = false;
      else equal = *asNumber(a) == *asNumber(b);
      return node.op == Op::eq ? equal : !equal;
    }
    case Op::lt:
    case Op::le:
    case Op::gt:
    case Op::ge: {
      int order;
      if (as && bs) {
        std::string x = foldText(*as, node.caseInsensitive, node.diacriticInsensitive);
        std::string y = foldText(*bs, node.caseInsensitive, node.diacriticInsensitive);
        order = x < y ? -1 : (x == y ? 0 : 1);
      } else {
        auto x = asNumber(a), y = asNumber(b);
        if (!x || !y) return false;
        order = *x < *y ? -1 : (*x == *y ? 0 : 1);
      }
      switch (node.op) {
        case Op::lt: return order < 0;
        case Op::le: return order <= 0;
        case Op::gt: return order > 0;
        default: return order >= 0;
      }
    }
    default: break;
  }
  if (!as || !bs) return false;
  if (node.op == Op::matches) {
    // ICU, as on the platform: its matcher keeps no stack frame per character of a long label.
    auto expression = platform::RegularExpression::make(
        *bs, node.caseInsensitive ? platform::RegularExpression::CaseInsensitive : platform::RegularExpression::None);
    if (!expression) {
      xctest::detail::throwProgrammingError("NSInvalidArgumentException",
                                            "Can't do regex matching, reason: Can't open pattern \"" + *bs + "\"");
    }
    return expression->matchesEntirely(*as);
  }
  std::string x = foldText(*as, node.caseInsensitive, node.diacriticInsensitive);
  std::string y = foldText(*bs, node.caseInsensitive, node.diacriticInsensitive);
  switch (node.op) {
    case Op::contains: return x.find(y) != std::string::npos;
    case Op::beginsWith: return x.compare(0, y.size(), y) == 0 && x.size() >= y.size();
    case Op::endsWith: return x.size() >= y.size() && x.compare(x.size() - y.size(), y.size(), y) == 0;
    case Op::like: return wildcardMatch(toUtf32(x), toUtf32(y));
    default: return false;
  }
}

NSPredicateValue operandValue(const Operand& o, const NSPredicateSubject& object) {
  return o.isKey ? object.valueForKey(o.key) : o.constant;
}

bool evaluateNode(const PredicateNode& node, const NSPredicateSubject& object) {
  switch (node.kind) {
    case PredicateNode::Kind::alwaysTrue: return true;
    case PredicateNode::Kind::alwaysFalse: return false;
    case PredicateNode::Kind::negation: return !evaluateNode(*node.children.front(), object);
    case PredicateNode::Kind::conjunction:
      for (const auto& c : node.children)
        if (!evaluateNode(*c, object)) return false;
      return true;
    case PredicateNode::Kind::disjunction:
      for (const auto& c : node.children)
        if (evaluateNode(*c, object)) return true;
      return false;
    case PredicateNode::Kind::comparison:
      return compare(node, operandValue(node.lhs, object), operandValue(node.rhs, object));
  }
  return false;
}

// --- canonical text --------------------------------------------------------------------------

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string operandText(const Operand& o) {
  if (o.isKey) return o.key;
  if (auto s = std::get_if<std::string>(&o.constant)) return quoted(*s);
  if (auto b = std::get_if<bool>(&o.constant)) return *b ? "TRUE" : "FALSE";
  return NSPredicateValueDescription(o.constant);
}

std::string canonicalText(const PredicateNode& node, bool nested) {
  switch (node.kind) {
    case PredicateNode::Kind::alwaysTrue: return "TRUEPREDICATE";
    case PredicateNode::Kind::alwaysFalse: return "FALSEPREDICATE";
    case PredicateNode::Kind::negation: return "NOT " + canonicalText(*node.children.front(), true);
    case PredicateNode::Kind::conjunction:
    case PredicateNode::Kind::disjunction: {
      std::string joiner = node.kind == PredicateNode::Kind::conjunction ? " AND " : " OR ";
      std::string out;
      for (std::size_t i = 0; i < node.children.size(); ++i) {
        if (i) out += joiner;
        out += canonicalText(*node.children[i], true);
      }
      return nested ? "(" + out + ")" : out;
    }
    case PredicateNode::Kind::comparison: {
      static const char* names[] = {"==", "!=", "<", "<=", ">", ">=", "CONTAINS", "BEGINSWITH", "ENDSWITH",
                                    "LIKE", "MATCHES"};
      std::string op = names[static_cast<int>(node.op)];
      if (node.caseInsensitive || node.diacriticInsensitive)
        op += std::string("[") + (node.caseInsensitive ? "c" : "") + (node.diacriticInsensitive ? "d" : "") + "]";
      return operandText(node.lhs) + " " + op + " " + operandText(node.rhs);
    }
  }
  return {};
}

}  // namespace

NSPredicate::NSPredicate(const std::string& format, std::vector<NSPredicateValue> arguments, int) {
  root_ = Parser(format, std::move(arguments)).parse();
  canonical_ = canonicalText(*root_, false);
}

bool NSPredicate::evaluate(const NSPredicateSubject& object) const { return evaluateNode(*root_, object); }

std::string NSPredicateValueDescription(const NSPredicateValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return "nil";
  if (auto b = std::get_if<bool>(&value)) return *b ? "1" : "0";
  if (auto s = std::get_if<std::string>(&value)) return *s;
  double d = std::get<double>(value);
  if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15) return std::to_string(static_cast<long long>(d));
  std::ostringstream os;
  os.precision(17);
  os << d;
  return os.str();
}
