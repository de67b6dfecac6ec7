#include "cds/search_criteria.h"

#include <cctype>
#include <vector>

#include "cds/cds_limits.h"
#include "cds/file_system_enumerator.h"
#include "cds/protocol_info.h"
#include "library/collation.h"
#include "library/container_numbers.h"
#include "library/media_record.h"
#include "media/media_type.h"
#include "platform/text.h"
#include "transcode/transcode_rules.h"

namespace {

// The title a listing shows: the file name without its last extension, or the whole
// name when that would leave nothing. The rtrim removes every character but "." from
// the right, which leaves the name up to and including its last ".".
constexpr const char* kTitleExpr =
    "(case when instr(FileName, '.') = 0 then FileName else "
    "coalesce(nullif(substr(FileName, 1, length(rtrim(FileName, replace(FileName, '.', ''))) - 1), "
    "''), FileName) end)";

enum class TokenKind { kEnd, kOpen, kClose, kWord, kQuoted, kOperator, kBad };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;
};

enum class Op { kEq, kNe, kLt, kLe, kGt, kGe, kContains, kDoesNotContain, kDerivedFrom, kExists };

enum class Property { kTitle, kCreator, kAlbum, kGenre, kClass, kProtocolInfo };

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsWordChar(char c) {
  return !IsSpace(c) && c != '(' && c != ')' && c != '"' && c != '=' && c != '!' && c != '<' &&
         c != '>';
}

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  Token Next() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
    Token t;
    if (pos_ >= text_.size()) return t;
    char c = text_[pos_];
    if (c == '(' || c == ')') {
      t.kind = c == '(' ? TokenKind::kOpen : TokenKind::kClose;
      ++pos_;
      return t;
    }
    if (c == '"') return Quoted();
    if (c == '=' || c == '!' || c == '<' || c == '>') {
      t.kind = TokenKind::kOperator;
      t.text.push_back(c);
      ++pos_;
      if (pos_ < text_.size() && text_[pos_] == '=') {
        t.text.push_back('=');
        ++pos_;
      }
      if (t.text == "!") t.kind = TokenKind::kBad;
      return t;
    }
    t.kind = TokenKind::kWord;
    while (pos_ < text_.size() && IsWordChar(text_[pos_])) t.text.push_back(text_[pos_++]);
    return t;
  }

 private:
  Token Quoted() {
    Token t;
    ++pos_;  // opening quote
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') {
        t.kind = TokenKind::kQuoted;
        return t;
      }
      if (c == '\\') {
        // Only \" and \\ are escapes.
        if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\\')) break;
        c = text_[pos_++];
      }
      t.text.push_back(c);
    }
    t.kind = TokenKind::kBad;  // unterminated or a stray backslash
    t.text.clear();
    return t;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

std::string LikeEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == '_' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         platform::AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// A derived property's value for one group of rows, and the rows' SQL condition.
struct DerivedGroup {
  Sql condition;
  std::vector<std::string> values;
};

// "(FileName like '%.ext' or ...)" for a set of extensions.
void AppendExtensionTest(const std::vector<std::string>& extensions, Sql* sql) {
  sql->text += "(";
  for (size_t i = 0; i < extensions.size(); ++i) {
    if (i > 0) sql->text += " or ";
    sql->text += "FileName like ? escape '\\'";
    sql->values.emplace_back("%" + LikeEscape(extensions[i]));
  }
  if (extensions.empty()) sql->text += "0";
  sql->text += ")";
}

std::vector<DerivedGroup> ClassGroups() {
  std::vector<std::pair<MediaClass, std::vector<std::string>>> byClass;
  std::vector<std::string> all;
  for (const MediaTypeClassRow& row : MediaType_ClassRows()) {
    all.emplace_back(row.extension);
    auto it = byClass.begin();
    while (it != byClass.end() && it->first != row.mediaClass) ++it;
    if (it == byClass.end()) {
      byClass.push_back({row.mediaClass, {}});
      it = byClass.end() - 1;
    }
    it->second.emplace_back(row.extension);
  }
  std::vector<DerivedGroup> groups;
  // Items of the internet media containers are listed as plain items.
  DerivedGroup plain;
  plain.condition = {"(pIndex in (?, ?) or not ",
                     {int64_t{kContainerInternetVideos}, int64_t{kContainerInternetAllVideos}}};
  AppendExtensionTest(all, &plain.condition);
  plain.condition.text += ")";
  plain.values = {MediaType_ClassString(kClassItem)};
  groups.push_back(std::move(plain));
  auto add = [&](MediaClass mediaClass, const std::vector<std::string>& extensions,
                 std::string_view extra) {
    DerivedGroup g;
    g.condition = {"(pIndex not in (?, ?) and ",
                   {int64_t{kContainerInternetVideos}, int64_t{kContainerInternetAllVideos}}};
    AppendExtensionTest(extensions, &g.condition);
    g.condition.text += extra;
    g.condition.text += ")";
    g.values = {MediaType_ClassString(mediaClass)};
    groups.push_back(std::move(g));
  };
  for (const auto& [mediaClass, extensions] : byClass) {
    if (mediaClass != kClassAudioItem) {
      add(mediaClass, extensions, "");
      continue;
    }
    // Songs with tags are music tracks.
    add(kClassAudioItem, extensions, std::string(" and not ") + kFseMusicTagsCondition);
    add(kClassMusicTrack, extensions, std::string(" and ") + kFseMusicTagsCondition);
  }
  return groups;
}

std::vector<DerivedGroup> ProtocolInfoGroups() {
  std::vector<DerivedGroup> groups;
  std::string prefix(kIspTvRtspPrefix, kIspTvRtspPrefixLength);
  auto stream = [&](const char* text, std::vector<SqlValue> values, const std::string& url,
                    int kind) {
    DerivedGroup g;
    g.condition = {text, std::move(values)};
    g.values = {MediaType_BuildStreamProtocolInfo(url, kind)};
    groups.push_back(std::move(g));
  };
  const int64_t video = kInternetVideo, audio = kInternetAudio;
  const int64_t length = kIspTvRtspPrefixLength;
  stream("(InternetFlags = ? and substr(FilePath, 1, ?) = ?)", {video, length, prefix}, prefix,
         kStreamVideo);
  stream("(InternetFlags = ? and substr(FilePath, 1, ?) <> ?)", {video, length, prefix}, "",
         kStreamVideo);
  stream("(InternetFlags = ?)", {audio}, "", kStreamAudio);

  std::vector<std::pair<std::string, std::vector<std::string>>> byMime;
  std::vector<std::string> all;
  for (const MediaTypeMimeRow& row : MediaType_MimeRows()) {
    all.emplace_back(row.extension);
    auto it = byMime.begin();
    while (it != byMime.end() && it->first != row.mime) ++it;
    if (it == byMime.end()) {
      byMime.push_back({row.mime, {}});
      it = byMime.end() - 1;
    }
    it->second.emplace_back(row.extension);
  }
  auto local = [&](const std::string& mime, const std::vector<std::string>* extensions,
                   const Sql& extra, bool transcoded) {
    DerivedGroup g;
    g.condition = {"(InternetFlags not in (?, ?) and ",
                   {int64_t{kInternetVideo}, int64_t{kInternetAudio}}};
    if (extensions != nullptr) {
      AppendExtensionTest(*extensions, &g.condition);
    } else {
      g.condition.text += "not ";
      AppendExtensionTest(all, &g.condition);
    }
    g.condition.text += extra.text;
    g.condition.values.insert(g.condition.values.end(), extra.values.begin(), extra.values.end());
    g.condition.text += ")";
    // The first resource is served as is; the second announces the encoder's output
    // when the file is converted.
    for (const std::string& fourth : MediaType_PossibleFourthFields(mime))
      g.values.push_back(MediaType_HttpProtocolInfo(mime, fourth));
    if (transcoded) {
      g.values.push_back(MediaType_HttpProtocolInfo(Transcode_OutputMime(mime),
                                                    Transcode_OutputFourthField("", mime)));
    }
    groups.push_back(std::move(g));
  };
  for (const auto& [mime, extensions] : byMime) {
    bool converted = Transcode_NeedsTranscodeByMime(mime) == 1;
    if (mime == "video/x-ms-avi" && !converted) {
      // AVI files whose codec most clients lack are converted whatever the setting.
      const int64_t marked = kFlagNonDivxAvi;
      local(mime, &extensions, {" and (Flags & ?) = 0", {marked}}, false);
      local(mime, &extensions, {" and (Flags & ?) <> 0", {marked}}, true);
    } else {
      local(mime, &extensions, {}, converted);
    }
  }
  local("application/octet-stream", nullptr, {}, false);
  return groups;
}

bool EvalString(Op op, const std::string& value, const std::string& wanted, Property property) {
  int cmp = CompareNoCase(value, wanted);
  std::string lowerValue = platform::AsciiLower(value);
  std::string lowerWanted = platform::AsciiLower(wanted);
  switch (op) {
    case Op::kEq:
      return cmp == 0;
    case Op::kNe:
      return cmp != 0;
    case Op::kLt:
      return cmp < 0;
    case Op::kLe:
      return cmp <= 0;
    case Op::kGt:
      return cmp > 0;
    case Op::kGe:
      return cmp >= 0;
    case Op::kContains:
      return lowerValue.find(lowerWanted) != std::string::npos;
    case Op::kDoesNotContain:
      return lowerValue.find(lowerWanted) == std::string::npos;
    case Op::kDerivedFrom:
      if (property == Property::kClass) {
        // A class derives from itself and from each of its ancestors.
        return cmp == 0 || StartsWithNoCase(value, wanted + ".");
      }
      return StartsWithNoCase(value, wanted);
    case Op::kExists:
      return true;
  }
  return false;
}

class Compiler {
 public:
  explicit Compiler(std::string_view text) : lexer_(text) { Advance(); }

  bool Compile(Sql* out, std::string* error) {
    if (token_.kind == TokenKind::kWord && token_.text == "*") {
      Advance();
      if (token_.kind != TokenKind::kEnd) return Fail("text after *", error);
      *out = Sql{"1", {}};
      return true;
    }
    if (token_.kind == TokenKind::kEnd) {
      *out = Sql{"1", {}};
      return true;
    }
    Sql sql;
    if (!OrExpression(&sql, 0)) return Fail(error_, error);
    if (token_.kind != TokenKind::kEnd) return Fail("unexpected text after the criteria", error);
    *out = std::move(sql);
    return true;
  }

 private:
  bool Fail(const std::string& reason, std::string* error) {
    if (error != nullptr) *error = reason;
    return false;
  }
  bool Error(const char* reason) {
    if (error_.empty()) error_ = reason;
    return false;
  }
  void Advance() { token_ = lexer_.Next(); }
  bool IsWord(const char* word) const {
    return token_.kind == TokenKind::kWord && platform::AsciiEqualsNoCase(token_.text, word);
  }

  bool OrExpression(Sql* out, int depth) {
    if (!AndExpression(out, depth)) return false;
    while (IsWord("or")) {
      Advance();
      Sql right;
      if (!AndExpression(&right, depth)) return false;
      Join(" or ", std::move(right), out);
    }
    return true;
  }

  bool AndExpression(Sql* out, int depth) {
    if (!Primary(out, depth)) return false;
    while (IsWord("and")) {
      Advance();
      Sql right;
      if (!Primary(&right, depth)) return false;
      Join(" and ", std::move(right), out);
    }
    return true;
  }

  static void Join(const char* op, Sql right, Sql* left) {
    left->text = "(" + left->text + op + right.text + ")";
    for (SqlValue& v : right.values) left->values.push_back(std::move(v));
  }

  bool Primary(Sql* out, int depth) {
    if (token_.kind == TokenKind::kOpen) {
      if (depth + 1 > kSearchMaxDepth) return Error("criteria nested too deeply");
      Advance();
      if (!OrExpression(out, depth + 1)) return false;
      if (token_.kind != TokenKind::kClose) return Error("missing )");
      Advance();
      return true;
    }
    return Relation(out);
  }

  bool ParseProperty(Property* property) {
    if (token_.kind != TokenKind::kWord) return Error("property expected");
    struct Name {
      const char* text;
      Property property;
    };
    static constexpr Name kNames[] = {{"dc:title", Property::kTitle},
                                      {"dc:creator", Property::kCreator},
                                      {"upnp:artist", Property::kCreator},
                                      {"upnp:album", Property::kAlbum},
                                      {"upnp:genre", Property::kGenre},
                                      {"upnp:class", Property::kClass},
                                      {"res@protocolInfo", Property::kProtocolInfo}};
    for (const Name& name : kNames) {
      if (platform::AsciiEqualsNoCase(token_.text, name.text)) {
        *property = name.property;
        Advance();
        return true;
      }
    }
    return Error("unsupported property");
  }

  bool ParseOperator(Op* op) {
    if (token_.kind == TokenKind::kOperator) {
      static constexpr std::pair<const char*, Op> kOps[] = {{"=", Op::kEq}, {"!=", Op::kNe},
                                                            {"<", Op::kLt}, {"<=", Op::kLe},
                                                            {">", Op::kGt}, {">=", Op::kGe}};
      for (const auto& [text, value] : kOps) {
        if (token_.text == text) {
          *op = value;
          Advance();
          return true;
        }
      }
      return Error("bad operator");
    }
    static constexpr std::pair<const char*, Op> kWords[] = {{"contains", Op::kContains},
                                                            {"doesNotContain", Op::kDoesNotContain},
                                                            {"derivedfrom", Op::kDerivedFrom},
                                                            {"exists", Op::kExists}};
    for (const auto& [text, value] : kWords) {
      if (IsWord(text)) {
        *op = value;
        Advance();
        return true;
      }
    }
    return Error("operator expected");
  }

  bool Relation(Sql* out) {
    if (++conditions_ > kSearchMaxConditions) return Error("too many conditions");
    Property property;
    Op op;
    if (!ParseProperty(&property) || !ParseOperator(&op)) return false;
    std::string value;
    bool exists = false;
    if (op == Op::kExists) {
      if (IsWord("true")) {
        exists = true;
      } else if (!IsWord("false")) {
        return Error("true or false expected after exists");
      }
    } else if (token_.kind != TokenKind::kQuoted) {
      return Error("quoted value expected");
    }
    value = token_.text;
    Advance();
    if (property == Property::kClass || property == Property::kProtocolInfo) {
      Derived(property, op, value, exists, out);
    } else {
      Column(property, op, value, exists, out);
    }
    return true;
  }

  static void Column(Property property, Op op, const std::string& value, bool exists, Sql* out) {
    const char* column = property == Property::kTitle     ? kTitleExpr
                         : property == Property::kCreator ? "Author"
                         : property == Property::kAlbum   ? "Album"
                                                          : "Genre";
    std::string col = column;
    // A property without a value is absent: only "exists false" matches it.
    std::string present = property == Property::kTitle ? "1" : "coalesce(" + col + ", '') <> ''";
    if (op == Op::kExists) {
      out->text = exists ? "(" + present + ")" : "(not (" + present + "))";
      return;
    }
    const char* comparison = nullptr;
    std::string bound = value;
    switch (op) {
      case Op::kEq:
        comparison = " = ? collate ORVEX_NOCASE";
        break;
      case Op::kNe:
        comparison = " <> ? collate ORVEX_NOCASE";
        break;
      case Op::kLt:
        comparison = " < ? collate ORVEX_NOCASE";
        break;
      case Op::kLe:
        comparison = " <= ? collate ORVEX_NOCASE";
        break;
      case Op::kGt:
        comparison = " > ? collate ORVEX_NOCASE";
        break;
      case Op::kGe:
        comparison = " >= ? collate ORVEX_NOCASE";
        break;
      case Op::kContains:
        comparison = " like ? escape '\\'";
        bound = "%" + LikeEscape(value) + "%";
        break;
      case Op::kDoesNotContain:
        comparison = " not like ? escape '\\'";
        bound = "%" + LikeEscape(value) + "%";
        break;
      case Op::kDerivedFrom:
        comparison = " like ? escape '\\'";
        bound = LikeEscape(value) + "%";
        break;
      case Op::kExists:
        break;
    }
    if (property == Property::kTitle && (op == Op::kContains || op == Op::kDerivedFrom)) {
      // The title is a prefix of the file name (kTitleExpr), so a title that contains or
      // starts with the text belongs to a file name that does too. Testing the plain
      // column first spares the title expression on every row that cannot match; the
      // result is the same.
      out->text = "(FileName like ? escape '\\' and " + col + comparison + ")";
      out->values.emplace_back(bound);
      out->values.emplace_back(std::move(bound));
      return;
    }
    out->text = "(" + present + " and " + col + comparison + ")";
    out->values.emplace_back(std::move(bound));
  }

  static void Derived(Property property, Op op, const std::string& value, bool exists, Sql* out) {
    std::vector<DerivedGroup> groups =
        property == Property::kClass ? ClassGroups() : ProtocolInfoGroups();
    if (op == Op::kExists) {
      // Every item has a class and at least one resource.
      out->text = exists ? "1" : "0";
      return;
    }
    std::string text;
    for (DerivedGroup& g : groups) {
      bool any = false;
      for (const std::string& candidate : g.values)
        any = any || EvalString(op, candidate, value, property);
      if (!any) continue;
      text += text.empty() ? "(" : " or ";
      text += g.condition.text;
      for (SqlValue& v : g.condition.values) out->values.push_back(std::move(v));
    }
    out->text = text.empty() ? "0" : text + ")";
  }

  Lexer lexer_;
  Token token_;
  std::string error_;
  int conditions_ = 0;
};

}  // namespace

bool Search_CompileCriteria(std::string_view criteria, Sql* condition, std::string* error) {
  if (criteria.size() > kSearchCriteriaMaxBytes) {
    if (error != nullptr) *error = "criteria too long";
    return false;
  }
  Compiler compiler(criteria);
  return compiler.Compile(condition, error);
}
