#include "output/Provenance.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include <htslib/hts.h>

namespace provenance {

namespace {

void appendQuoted(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

// The parsed form of the JSON subset the record uses; numbers keep their text.
struct Value {
    enum class Kind { null, boolean, number, string, array, object };
    Kind kind = Kind::null;
    std::string text;
    std::vector<Value> items;
    std::vector<std::pair<std::string, Value>> members;

    const Value* find(std::string_view key) const
    {
        for (const auto& [name, value] : members)
            if (name == key)
                return &value;
        return nullptr;
    }
};

class Parser {
public:
    explicit Parser(std::string_view json) : json(json) {}

    Value document()
    {
        Value v = value();
        skipSpace();
        if (at < json.size())
            fail("text after the end of the record");
        return v;
    }

private:
    [[noreturn]] void fail(const std::string& what) const
    {
        throw FormatError(what + " at byte " + std::to_string(at));
    }

    void skipSpace()
    {
        while (at < json.size() && (json[at] == ' ' || json[at] == '\n' || json[at] == '\t' || json[at] == '\r'))
            ++at;
    }

    bool take(char c)
    {
        skipSpace();
        if (at < json.size() && json[at] == c) {
            ++at;
            return true;
        }
        return false;
    }

    void expect(char c)
    {
        if (!take(c))
            fail(std::string("expected '") + c + "'");
    }

    Value value()
    {
        skipSpace();
        if (at >= json.size())
            fail("unexpected end");
        Value v;
        const char c = json[at];
        if (c == '{') {
            v.kind = Value::Kind::object;
            ++at;
            if (take('}'))
                return v;
            do {
                skipSpace();
                std::string key = string();
                expect(':');
                v.members.emplace_back(std::move(key), value());
            } while (take(','));
            expect('}');
        } else if (c == '[') {
            v.kind = Value::Kind::array;
            ++at;
            if (take(']'))
                return v;
            do
                v.items.push_back(value());
            while (take(','));
            expect(']');
        } else if (c == '"') {
            v.kind = Value::Kind::string;
            v.text = string();
        } else if (json.substr(at, 4) == "true" || json.substr(at, 5) == "false") {
            v.kind = Value::Kind::boolean;
            v.text = c == 't' ? "true" : "false";
            at += v.text.size();
        } else if (json.substr(at, 4) == "null") {
            at += 4;
        } else {
            const size_t begin = at;
            while (at < json.size() && std::string_view("+-.0123456789eE").find(json[at]) != std::string_view::npos)
                ++at;
            if (at == begin)
                fail("unexpected character");
            v.kind = Value::Kind::number;
            v.text = json.substr(begin, at - begin);
        }
        return v;
    }

    std::string string()
    {
        if (at >= json.size() || json[at] != '"')
            fail("expected a string");
        ++at;
        std::string out;
        while (at < json.size() && json[at] != '"') {
            char c = json[at++];
            if (c == '\\') {
                if (at >= json.size())
                    break;
                c = json[at++];
                switch (c) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': out += unicode(); break;
                default: out += c;
                }
            } else {
                out += c;
            }
        }
        if (at >= json.size())
            fail("unterminated string");
        ++at;
        return out;
    }

    // \uXXXX as UTF-8; surrogate pairs are not needed for the texts a run records.
    std::string unicode()
    {
        unsigned code = 0;
        if (at + 4 > json.size() || std::from_chars(json.data() + at, json.data() + at + 4, code, 16).ptr !=
                                        json.data() + at + 4)
            fail("bad \\u escape");
        at += 4;
        std::string out;
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
        return out;
    }

    std::string_view json;
    size_t at = 0;
};

const Value& member(const Value& object, std::string_view key, Value::Kind kind)
{
    const Value* v = object.find(key);
    if (!v)
        throw FormatError("no \"" + std::string(key) + "\"");
    if (v->kind != kind)
        throw FormatError("\"" + std::string(key) + "\" has the wrong type");
    return *v;
}

const std::string& text(const Value& object, std::string_view key)
{
    return member(object, key, Value::Kind::string).text;
}

uint64_t count(const Value& object, std::string_view key)
{
    const std::string& digits = member(object, key, Value::Kind::number).text;
    uint64_t n = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (error != std::errc() || end != digits.data() + digits.size())
        throw FormatError("\"" + std::string(key) + "\" is not a count: " + digits);
    return n;
}

uint64_t countIfPresent(const Value& object, std::string_view key)
{
    return object.find(key) ? count(object, key) : 0;
}

const std::vector<Value>& array(const Value& object, std::string_view key)
{
    return member(object, key, Value::Kind::array).items;
}

bool shapesSummaries(const std::string& option)
{
    static const std::set<std::string> others{"BAM",    "output-dir", "GTF",  "genes-list", "quiet",
                                              "ignore", "threads",    "help", "EULA",       "log-files", "sort-memory"};
    return !others.contains(option);
}

std::string identity(const Input* input)
{
    if (!input)
        return "none";
    return input->path + " (" + std::to_string(input->size) + " bytes, modified " + input->mtime + ")";
}

} // namespace

const Input* Record::input(std::string_view role) const
{
    for (const Input& i : inputs)
        if (i.role == role)
            return &i;
    return nullptr;
}

const Output* Record::output(std::string_view file) const
{
    for (const Output& o : outputs)
        if (o.file == file)
            return &o;
    return nullptr;
}

std::optional<Difference> firstDifference(const Record& first, const Record& second)
{
    for (const char* role : {"GTF", "genes-list"}) {
        const Input* a = first.input(role);
        const Input* b = second.input(role);
        if ((a == nullptr) != (b == nullptr) || (a && (a->size != b->size || a->mtime != b->mtime)))
            return Difference{std::string("--") + role, identity(a), identity(b)};
    }
    std::map<std::string, std::pair<const std::string*, const std::string*>> values;
    for (const auto& [name, value] : first.options)
        values[name].first = &value;
    for (const auto& [name, value] : second.options)
        values[name].second = &value;
    for (const auto& [name, pair] : values) {
        const auto [a, b] = pair;
        if (shapesSummaries(name) && (!a || !b || *a != *b))
            return Difference{"--" + name, a ? *a : "(no such option)", b ? *b : "(no such option)"};
    }
    return std::nullopt;
}

namespace {

void appendCommandAndOptions(std::string& out, const Record& r)
{
    out += ",\n  \"command_line\": [";
    for (size_t i = 0; i < r.commandLine.size(); ++i) {
        out += i ? ", " : "";
        appendQuoted(out, r.commandLine[i]);
    }
    out += "],\n  \"options\": {";
    for (size_t i = 0; i < r.options.size(); ++i) {
        out += i ? ",\n    " : "\n    ";
        appendQuoted(out, r.options[i].first);
        out += ": ";
        appendQuoted(out, r.options[i].second);
    }
    out += "\n  }";
}

void appendInputs(std::string& out, const std::vector<Input>& inputs)
{
    out += ",\n  \"inputs\": [";
    for (size_t i = 0; i < inputs.size(); ++i) {
        out += i ? ",\n    {\"role\": " : "\n    {\"role\": ";
        appendQuoted(out, inputs[i].role);
        out += ", \"path\": ";
        appendQuoted(out, inputs[i].path);
        out += ", \"size\": " + std::to_string(inputs[i].size) + ", \"mtime\": ";
        appendQuoted(out, inputs[i].mtime);
        out += '}';
    }
    out += "\n  ]";
}

void appendStatistics(std::string& out, const Statistics& s)
{
    out += ",\n  \"statistics\": {\"fragments\": " + std::to_string(s.fragments) +
           ", \"compatible_fragments\": " + std::to_string(s.compatibleFragments) +
           ", \"genes_ok\": " + std::to_string(s.genesOk) + ", \"genes_fail\": " + std::to_string(s.genesFail) +
           ", \"genes_fail_no_fragments\": " + std::to_string(s.genesFailNoFragments) +
           ", \"genes_fail_too_few\": " + std::to_string(s.genesFailTooFew) +
           ", \"genes_fail_too_many\": " + std::to_string(s.genesFailTooMany) +
           ", \"genes_fail_not_converged\": " + std::to_string(s.genesFailNotConverged) + "}";
}

void appendOutputs(std::string& out, const std::vector<Output>& outputs)
{
    out += ",\n  \"outputs\": [";
    for (size_t i = 0; i < outputs.size(); ++i) {
        out += i ? ",\n    {\"file\": " : "\n    {\"file\": ";
        appendQuoted(out, outputs[i].file);
        out += ", \"size\": " + std::to_string(outputs[i].size) + ", \"md5\": ";
        appendQuoted(out, outputs[i].md5);
        out += '}';
    }
    out += "\n  ]";
}

} // namespace

std::string toJson(const Record& r)
{
    std::string out = "{\n  \"program\": ";
    appendQuoted(out, r.program);
    out += ",\n  \"version\": ";
    appendQuoted(out, r.version);
    appendCommandAndOptions(out, r);
    out += ",\n  \"sample\": ";
    appendQuoted(out, r.sample);
    appendInputs(out, r.inputs);
    out += ",\n  \"start\": ";
    appendQuoted(out, r.start);
    out += ",\n  \"end\": ";
    appendQuoted(out, r.end);
    appendStatistics(out, r.statistics);
    appendOutputs(out, r.outputs);
    out += "\n}\n";
    return out;
}

Record parse(std::string_view json)
{
    const Value doc = Parser(json).document();
    if (doc.kind != Value::Kind::object)
        throw FormatError("not a JSON object");
    Record r;
    r.program = text(doc, "program");
    r.version = text(doc, "version");
    for (const Value& word : array(doc, "command_line"))
        r.commandLine.push_back(word.text);
    for (const auto& [name, value] : member(doc, "options", Value::Kind::object).members)
        r.options.emplace_back(name, value.text);
    r.sample = text(doc, "sample");
    for (const Value& i : array(doc, "inputs"))
        r.inputs.push_back({text(i, "role"), text(i, "path"), count(i, "size"), text(i, "mtime")});
    r.start = text(doc, "start");
    r.end = text(doc, "end");
    const Value& s = member(doc, "statistics", Value::Kind::object);
    r.statistics = {count(s, "fragments"),
                    count(s, "compatible_fragments"),
                    count(s, "genes_ok"),
                    count(s, "genes_fail"),
                    countIfPresent(s, "genes_fail_no_fragments"),
                    countIfPresent(s, "genes_fail_too_few"),
                    countIfPresent(s, "genes_fail_too_many"),
                    countIfPresent(s, "genes_fail_not_converged")};
    for (const Value& o : array(doc, "outputs"))
        r.outputs.push_back({text(o, "file"), count(o, "size"), text(o, "md5")});
    return r;
}

std::string md5Hex(std::string_view data)
{
    std::unique_ptr<hts_md5_context, decltype(&hts_md5_destroy)> context(hts_md5_init(), hts_md5_destroy);
    if (!context)
        throw std::bad_alloc();
    // hts_md5_update takes an unsigned long length; feed large buffers in pieces.
    constexpr size_t kPiece = size_t{1} << 30;
    for (size_t at = 0; at < data.size(); at += kPiece)
        hts_md5_update(context.get(), data.data() + at, static_cast<unsigned long>(std::min(kPiece, data.size() - at)));
    unsigned char digest[16];
    hts_md5_final(digest, context.get());
    char hex[33];
    hts_md5_hex(hex, digest);
    return hex;
}

std::string utcTime(std::time_t time)
{
    std::tm parts{};
    gmtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

Input describeInput(const std::string& role, const std::string& path)
{
    Input input{role, path, 0, ""};
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (!error)
        input.path = absolute.lexically_normal().string();
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        input.size = static_cast<uint64_t>(info.st_size);
        input.mtime = utcTime(info.st_mtime);
    }
    return input;
}

} // namespace provenance
