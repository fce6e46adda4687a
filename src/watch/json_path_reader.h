// JsonPathReader: reads the JSON account lists of the XiaoLiZi and dulu
// hosts by JavaScript member-access paths, and edits such documents.
//
// A reader keeps its document in a named variable (the poller names it "da")
// of an engine: the store of documents that a reader and its copies share.
// A path is answered as a JavaScript engine would evaluate it against that
// variable, but over data only: texts are parsed as JSON (RapidJSON) and
// nothing is ever run as code.
//
// Paths. A path is a member-access chain: names after dots, in any script
// (QQlist.登录信息); keys in brackets, single- or double-quoted with the
// escapes of a JavaScript string literal (['10001'], ["a\"b"]); decimal
// numbers in brackets ([0]; [-1] and [1.5] name the members "-1" and "1.5").
// Blanks may stand between the parts; any character outside ASCII other than
// a blank counts as a letter of a name. Each path is first resolved against
// the variable name:
//   1. a path that begins with the variable name, byte for byte, and names
//      something other than null or nothing is used as it stands (da.QQlist);
//   2. otherwise the empty path is the variable itself, a path that begins
//      with "[" follows the variable name directly, and any other path
//      follows the variable name and "." (QQlist is da.QQlist, ['1'].状态 is
//      da['1'].状态, and data.x is da.data.x when no variable "data" exists).
// Anything else (operators, calls, a trailing dot, an open bracket) is a bad
// path: it reads as nothing and changes nothing.
//
// Values read as a script engine shows them: strings unchanged; numbers as
// the shortest decimal text JavaScript prints (0.1, 1e+21, 1e-7, -0 as "0",
// integers exact up to 2^53); booleans "true" and "false"; a plain object as
// "[object Object]"; an array as its elements joined by "," (null empty).
// Arrays and strings have a "length" (a string's in UTF-16 units); other
// built-in members (toString, constructor, ...) read as missing. Where an
// engine would raise (a member of null or of nothing, toString of null, a bad
// path, no document) the answer is the empty value of the result: "", false,
// 0 or an empty list.
//
// Script values. Where an engine would take script source (the document of
// Parse, code values of SetValue, AddItem and SetItem, SetByEval) this reader
// takes one JSON literal instead. Where the engine hands that source to eval
// (Parse without is_code, code values of SetValue, SetByEval) a string
// literal would be run as script: it is refused, and only Parse with is_code,
// AddItem and SetItem take strings as code values. A blank source passed to
// eval gives nothing: Parse then leaves the variable undefined (read as
// missing), and storing it in the variable itself removes that. Non-code values of
// AddItem and SetItem are the inside of one single-quoted JavaScript string
// literal, so their escapes are decoded and an unescaped quote or line break
// is refused. A member cannot be set to nothing, and an array takes no named
// members: those assignments answer false. Otherwise an edit answers true
// whenever an engine would run it without an error, so assigning a member of
// a string, number or boolean changes nothing and still answers true.
//
// Documents. Standard JSON with blanks around it; an object with a repeated
// name keeps the name's first place and its last value, as an object literal
// does; member names come in document order. Numbers beyond the double range
// are refused (an engine would read Infinity).
//
// Texts in and out are GBK. A byte that is not part of a GBK character reads
// as U+FFFD; a character GBK lacks is written "?" (one per UTF-16 unit), as
// the system's ANSI conversion writes it.
//
// Backslashes. SetValue stores each backslash of a text as U+2400; GetText,
// GetJson, ToJson and GetItemText turn every U+2400 back into a backslash,
// also inside JSON, which therefore carries a raw backslash where the stored
// text had one. GetObject and GetItemObject parse that JSON again.
//
// Limits. Texts to parse longer than kMaxJsonTextBytes are refused. Nesting
// depth is unbounded: parsing (RapidJSON's iterative parser), serialising,
// copying and walking use explicit stacks, never recursion. An assignment
// past an array's end adds at most kMaxArrayGap holes (read as null). A
// replaced value's memory is reclaimed when its variable is replaced whole
// (Initialize, Parse, Clear, an assignment to the variable itself).
//
// A reader and its copies belong to one thread. Nothing throws: every
// failure, std::bad_alloc included, is answered as the empty value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace lanfeng {

inline constexpr size_t kMaxJsonTextBytes = 32u << 20;
inline constexpr uint32_t kMaxArrayGap = 65536;

// The error of the last Parse, in the fields of a script error. number is
// kJsonNoError when the text parsed (or was blank).
struct JsonErrorInfo {
  int32_t number = 0;
  std::string source;
  std::string description;
  std::string help_file;
  int32_t help_context = 0;
  std::string text;    // the line of the text holding the error, at most 1 KiB
  int32_t line = 0;    // from 1; 0 when the error has no place
  int32_t column = 0;  // characters before the error on its line
};

enum JsonErrorNumber : int32_t {
  kJsonNoError = 0,
  kJsonSyntaxError = 1,   // not one JSON literal
  kJsonScriptText = 2,    // a string literal that eval would run as script
  kJsonTextTooLarge = 3,  // longer than kMaxJsonTextBytes
  kJsonBadVariable = 4,   // the variable name is not a JavaScript identifier
};

// What TypeOf answers.
enum JsonType : int {
  kJsonOther = -1,
  kJsonNothing = 0,  // null, missing, or a bad path
  kJsonBoolean = 1,
  kJsonNumber = 2,
  kJsonObject = 4,
  kJsonArray = 5,
  kJsonString = 6,
};

// The documents behind a reader and its copies (opaque).
class JsonEngine;

class JsonPathReader {
 public:
  // A reader without an engine until Initialize. The variable name must be a
  // JavaScript identifier (not a reserved word); with any other name every
  // operation fails.
  explicit JsonPathReader(std::string root_variable = "da");
  ~JsonPathReader();
  JsonPathReader(JsonPathReader&&) noexcept;
  JsonPathReader& operator=(JsonPathReader&&) noexcept;
  // Copies share the engine: made only on purpose, by Copy.
  JsonPathReader(const JsonPathReader&) = delete;
  JsonPathReader& operator=(const JsonPathReader&) = delete;

  const std::string& root_variable() const { return root_variable_; }
  void set_root_variable(std::string name) { root_variable_ = std::move(name); }

  // Makes a new engine whose variable holds an empty object. False when the
  // variable name is not usable.
  bool Initialize();
  // Replaces the document with text (see Script values); true when it is
  // neither null nor nothing. A reader without an engine initializes first.
  // error, when given, is filled with the failure or cleared.
  bool Parse(const std::string& text, bool is_code = false, JsonErrorInfo* error = nullptr);
  // The value at path as text, or its JSON.
  std::string GetText(const std::string& path, bool as_json = false) const;
  // Fills names with the member names of the plain object at path (none for
  // anything else) and answers their count. The names are joined by CR LF and
  // split again, so a name holding CR LF comes out in pieces and an empty last
  // name is dropped.
  int MemberNames(std::vector<std::string>* names, const std::string& path) const;
  // Reads fields of every member of the plain object at path in one pass,
  // as the poller reads a list of accounts: for each name that
  // MemberNames(names, path) gives, in that order, calls visit(name, texts)
  // with texts[i] what GetText(path + "['" + key + "']." + fields[i]) answers,
  // key being the name with its backslashes and single quotes (whole
  // characters) each escaped by a backslash. visit must not change the
  // documents of this reader's engine. Answers the count of names.
  using MemberVisitor =
      std::function<void(const std::string& name, const std::vector<std::string>& texts)>;
  int ReadMemberFields(const std::string& path, const std::vector<std::string>& fields,
                       const MemberVisitor& visit) const;
  // Releases the engine and forgets the variable name.
  void Destroy();

  // The variable becomes an empty object.
  bool Clear();
  // The whole document as JSON; "" when the variable holds nothing.
  std::string ToJson() const;
  // Stores value at path as a string (backslashes as U+2400). With is_code it
  // is a JSON literal (an empty one counts as {}), stored, or merged into a plain
  // object at path member by member: a missing, string or boolean member is
  // replaced; an object or array member is merged in turn (an array takes
  // every element or member value pushed); a number member, or a null one
  // where the literal has members, fails the merge, and then nothing changes.
  bool SetValue(const std::string& path, const std::string& value, bool is_code = false);
  // Stores the JSON literal at path.
  bool SetByEval(const std::string& path, const std::string& literal);
  bool PathExists(const std::string& path) const;
  JsonType TypeOf(const std::string& path) const;
  // The length of the array at path; 0 for anything else.
  int Count(const std::string& path) const;
  // A new reader (variable "da", its own engine) that parsed GetJson(path).
  JsonPathReader GetObject(const std::string& path) const;
  // Appends (or with at_front puts first) value to the array at path; a path
  // that holds no array is first set to an empty one.
  bool AddItem(const std::string& path, const std::string& value, bool is_code = false,
               bool at_front = false);
  JsonPathReader GetItemObject(int index, const std::string& path) const;
  // Element index of path: as JSON, or else only a string element as text.
  std::string GetItemText(int index, const std::string& path, bool as_json = false) const;
  bool SetItem(int index, const std::string& path, const std::string& value, bool is_code = false);
  // Removes one element of the array at path, counting a negative index from
  // the end (splice).
  bool RemoveItem(int index, const std::string& path);
  // Deletes the member at path; an array element becomes a hole (null). The
  // variable itself cannot be deleted.
  bool Remove(const std::string& path);
  bool SetNumber(const std::string& path, double number);
  // The number at path (a length included); 0 for anything else.
  double GetNumber(const std::string& path) const;
  std::string GetJson(const std::string& path) const;
  std::shared_ptr<JsonEngine> GetEngine() const { return engine_; }
  // The strings, numbers and booleans among the members of the object or
  // array at path, as text, in document order; with recursive, also those of
  // members holding objects or arrays, each where it stands. Joined and split
  // as MemberNames does (at "[2020年7月20日20时0分0秒]"). Answers the count.
  int LeafValues(std::vector<std::string>* values, const std::string& path, bool recursive) const;
  // A reader with the same variable name on the same engine.
  JsonPathReader Copy() const;

 private:
  std::string root_variable_;
  std::shared_ptr<JsonEngine> engine_;
};

}  // namespace lanfeng
