#include "Answer.h"

#include <nlohmann/json.hpp>

#include <unordered_map>
#include <vector>

#include "base/Text.h"

namespace zel {

namespace {

using Json = nlohmann::json;

// The members of a module's object that the service reads, in the order in
// which they are checked; FILE comes last.
const char* const FieldKeys[] = {"MODULE_VERSION", "EXE_NAME", "REQUIRED_VERSION", "TYPE", "COMMENT", "ERROR"};
constexpr int FieldCount = 6;
constexpr int FileMember = FieldCount;
constexpr int OtherMember = -1;

// One read member as the answer gave it last.
struct TField {
    const char* type = nullptr;  // JSON type; null when the member is absent
    std::string text;            // the value when it is a string
};

// One module of the answer before its values are checked.
struct TModuleText {
    std::string name;
    const char* type = nullptr;  // JSON type of the module's value
    TField fields[FieldCount];
    const char* filesType = nullptr;  // JSON type of FILE; null when absent
    std::vector<std::string> files;   // FILE's strings up to the first element that is no string
    const char* badFile = nullptr;    // the type of that element
    size_t fileCount = 0;             // FILE's elements; none is kept beyond MaxModuleFiles
};

// Reads the answer as a stream of parser events, without a document tree:
// the time is linear in the answer's size (a tree keeps members in a list
// whose look-up is linear, which made large answers take minutes), and of
// what the service does not read nothing is kept. Members are kept in the
// answer's order; a name that comes again replaces what was read under it,
// in the place of the first, as the members of a JSON object are read by
// name.
class TAnswerReader {
public:
    std::vector<TModuleText> modules;
    const char* rootType = nullptr;  // set when the answer is no object
    bool tooManyModules = false;
    std::string parseError;

    bool null() { return Value("null", nullptr); }
    bool boolean(bool) { return Value("boolean", nullptr); }
    bool number_integer(Json::number_integer_t) { return Value("number", nullptr); }
    bool number_unsigned(Json::number_unsigned_t) { return Value("number", nullptr); }
    bool number_float(Json::number_float_t, const std::string&) { return Value("number", nullptr); }
    bool string(std::string& text) { return Value("string", &text); }
    bool binary(Json::binary_t&) { return Value("binary", nullptr); }
    bool start_object(std::size_t) { return Start(true); }
    bool start_array(std::size_t) { return Start(false); }
    bool end_object() { return End(); }
    bool end_array() { return End(); }
    bool key(std::string& name) {
        if (skip_) return true;
        if (level_ == 1) return SelectModule(name);
        member_ = OtherMember;
        if (name == "FILE") member_ = FileMember;
        for (int i = 0; i < FieldCount; ++i)
            if (name == FieldKeys[i]) member_ = i;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
        parseError = e.what();
        return false;
    }

private:
    // Nesting of what is read: 1 the answer's object, 2 a module's object,
    // 3 a module's FILE list. Any other value is skipped whole; skip_
    // counts the containers open inside it.
    int level_ = 0;
    size_t skip_ = 0;
    int member_ = OtherMember;
    size_t members_ = 0;
    size_t current_ = 0;
    std::unordered_map<std::string, size_t> index_;

    TModuleText& Module() { return modules[current_]; }

    bool SelectModule(const std::string& name) {
        if (++members_ > MaxAnswerModules) {
            tooManyModules = true;
            return false;
        }
        auto found = index_.find(name);
        if (found == index_.end()) {
            index_.emplace(name, modules.size());
            current_ = modules.size();
            modules.emplace_back();
        } else {
            current_ = found->second;
            modules[current_] = TModuleText();
        }
        Module().name = name;
        return true;
    }

    void SetMember(const char* type, std::string* text) {
        TModuleText& module = Module();
        if (member_ == FileMember) {
            module.filesType = type;
            module.files.clear();
            module.badFile = nullptr;
            module.fileCount = 0;
        } else if (member_ != OtherMember) {
            module.fields[member_].type = type;
            if (text)
                module.fields[member_].text.swap(*text);
            else
                module.fields[member_].text.clear();
        }
    }

    void AddFile(const char* type, std::string* text) {
        TModuleText& module = Module();
        if (++module.fileCount > MaxModuleFiles || module.badFile) return;
        if (text)
            module.files.push_back(std::move(*text));
        else
            module.badFile = type;
    }

    bool Value(const char* type, std::string* text) {
        if (skip_) return true;
        switch (level_) {
        case 0:
            rootType = type;
            return false;
        case 1:
            Module().type = type;
            return true;
        case 2:
            SetMember(type, text);
            return true;
        default:
            AddFile(type, text);
            return true;
        }
    }

    bool Start(bool object) {
        if (skip_) {
            ++skip_;
            return true;
        }
        const char* type = object ? "object" : "array";
        switch (level_) {
        case 0:
            if (!object) {
                rootType = type;
                return false;
            }
            level_ = 1;
            return true;
        case 1:
            Module().type = type;
            if (!object) break;
            level_ = 2;
            return true;
        case 2:
            SetMember(type, nullptr);
            if (object || member_ != FileMember) break;
            level_ = 3;
            return true;
        default:
            AddFile(type, nullptr);
            break;
        }
        skip_ = 1;
        return true;
    }

    bool End() {
        if (skip_)
            --skip_;
        else
            --level_;
        return true;
    }
};

std::wstring FieldText(const TModuleText& module, int index) {
    const TField& field = module.fields[index];
    if (!field.type) return std::wstring();
    if (std::string(field.type) != "string")
        throw Exception(Format("Неверный тип значения %s модуля %s в ответе сервера ЗЕЛ (%s вместо строки)",
                               {FieldKeys[index], LogSafeText(Utf8ToAnsi(module.name)), field.type}));
    return Utf8ToWide(field.text);
}

void MakeModuleInfo(const TModuleText& module, TRemoteModuleInfo& info) {
    info.ModuleName = Utf8ToWide(module.name);
    if (!module.type || std::string(module.type) != "object")
        throw Exception(Format("Сведения о модуле %s в ответе сервера ЗЕЛ не являются объектом JSON",
                               {LogSafeText(ToAnsi(info.ModuleName))}));
    std::wstring* targets[FieldCount] = {&info.ModuleVersion, &info.ExeName, &info.RequiredVersion,
                                         &info.UpdateType,    &info.Comment, &info.Error};
    for (int i = 0; i < FieldCount; ++i) *targets[i] = FieldText(module, i);
    // Whatever is wrong with the files refuses this module's answer only.
    if (!module.filesType) return;
    if (std::string(module.filesType) != "array") {
        RefuseModuleInfo(info, Format("значение FILE не является массивом (%s)", {module.filesType}));
        return;
    }
    if (module.fileCount > MaxModuleFiles) {
        RefuseModuleInfo(info, Format("значение FILE содержит больше %d файлов", {MaxModuleFiles}));
        return;
    }
    for (const std::string& element : module.files) {
        if (!AddFileSpec(info, Utf8ToAnsi(element))) {
            RefuseModuleInfo(info, Format("в записи файла %s неверно поле SHA-256",
                                          {LogSafeText(info.Files.back().FileName)}));
            return;
        }
        std::string problem = FileAddressProblem(info.Files.back().FileName);
        if (!problem.empty()) {
            RefuseModuleInfo(info, problem);
            return;
        }
    }
    if (module.badFile) RefuseModuleInfo(info, Format("элемент FILE не является строкой (%s)", {module.badFile}));
}

}  // namespace

bool ParseModuleInfoList(const std::string& answer, TRemoteModuleInfoList& list) {
    list.Clear();
    size_t start = answer.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    TAnswerReader reader;
    Json::sax_parse(answer.begin() + static_cast<std::ptrdiff_t>(start), answer.end(), &reader);
    if (reader.tooManyModules)
        throw Exception(Format("Ответ сервера ЗЕЛ содержит больше %d модулей", {MaxAnswerModules}));
    if (!reader.parseError.empty())
        throw Exception(Format("Ответ сервера ЗЕЛ не является текстом JSON: %s", {LogSafeText(reader.parseError)}));
    if (reader.rootType)
        throw Exception(Format("Ответ сервера ЗЕЛ не является объектом JSON (%s)", {reader.rootType}));
    try {
        for (const TModuleText& module : reader.modules) MakeModuleInfo(module, list.Add());
    } catch (...) {
        list.Clear();
        throw;
    }
    return list.Count() > 0;
}

}  // namespace zel
