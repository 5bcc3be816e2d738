#include "plist_reader.h"

#include <glib.h>

#include <cstring>
#include <set>

namespace plist {

namespace {

struct Frame {
    enum class Kind { document, plist, dict, array, leaf };
    explicit Frame(Kind frameKind) : kind(frameKind) {}
    Kind kind;
    std::string element;             // the leaf's element name
    std::string text;                // the leaf's text
    int values = 0;                  // values held (plist, array, dict)
    bool keyPending = false;         // dict: a key waits for its value
    std::string pendingKey;          // dict: that key
    std::set<std::string> keys;      // dict: keys seen
    bool topLevel = false;           // dict: the plist's own dictionary
};

struct Reader {
    std::vector<Frame> stack{Frame(Frame::Kind::document)};
    Entries* entries = nullptr;
    bool sawPlist = false;
};

bool isLeaf(const char* name) {
    for (const char* leaf : {"string", "integer", "real", "date", "data", "true", "false"}) {
        if (std::strcmp(name, leaf) == 0) return true;
    }
    return false;
}

void fail(GError** error, const std::string& message) {
    g_set_error_literal(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, message.c_str());
}

bool isBlank(const char* text, gsize length) {
    for (gsize i = 0; i < length; ++i) {
        if (!g_ascii_isspace(text[i])) return false;
    }
    return true;
}

// Hands a finished value to the frame that holds it.
void addValue(Reader& reader, const std::string& type, const std::string& text, GError** error) {
    Frame& parent = reader.stack.back();
    switch (parent.kind) {
        case Frame::Kind::plist:
            if (parent.values++ > 0) fail(error, "<plist> holds more than one value");
            else if (type != "dict") fail(error, "the root value is a <" + type + ">, not a <dict>");
            break;
        case Frame::Kind::array:
            ++parent.values;
            break;
        case Frame::Kind::dict:
            if (!parent.keyPending) {
                fail(error, "a <" + type + "> stands where a <key> belongs");
                break;
            }
            parent.keyPending = false;
            ++parent.values;
            if (parent.topLevel) reader.entries->emplace_back(parent.pendingKey, Value{type, text});
            break;
        default:
            fail(error, "a value outside <plist>");
    }
}

void startElement(GMarkupParseContext*, const gchar* name, const gchar** attributeNames,
                  const gchar** attributeValues, gpointer data, GError** error) {
    auto& reader = *static_cast<Reader*>(data);
    Frame& top = reader.stack.back();
    const std::string element = name;

    if (top.kind == Frame::Kind::document) {
        if (element != "plist" || reader.sawPlist) return fail(error, "the root element is <" + element + ">");
        if (attributeNames[0] == nullptr || std::strcmp(attributeNames[0], "version") != 0 ||
            std::strcmp(attributeValues[0], "1.0") != 0 || attributeNames[1] != nullptr) {
            return fail(error, "<plist> must carry exactly version=\"1.0\"");
        }
        reader.sawPlist = true;
        reader.stack.push_back(Frame(Frame::Kind::plist));
        return;
    }
    if (attributeNames[0] != nullptr) return fail(error, "<" + element + "> has attributes");
    if (top.kind == Frame::Kind::leaf) return fail(error, "<" + element + "> inside <" + top.element + ">");

    if (element == "key") {
        if (top.kind != Frame::Kind::dict || top.keyPending) {
            return fail(error, "a <key> outside a dictionary or where a value belongs");
        }
        Frame key(Frame::Kind::leaf);
        key.element = element;
        reader.stack.push_back(std::move(key));
        return;
    }
    if (top.kind == Frame::Kind::dict && !top.keyPending) {
        return fail(error, "a <" + element + "> stands where a <key> belongs");
    }
    if (element == "dict") {
        Frame dict(Frame::Kind::dict);
        dict.topLevel = top.kind == Frame::Kind::plist;
        reader.stack.push_back(std::move(dict));
    } else if (element == "array") {
        reader.stack.push_back(Frame(Frame::Kind::array));
    } else if (isLeaf(name)) {
        Frame leaf(Frame::Kind::leaf);
        leaf.element = element;
        reader.stack.push_back(std::move(leaf));
    } else {
        fail(error, "<" + element + "> is not a property-list element");
    }
}

void endElement(GMarkupParseContext*, const gchar*, gpointer data, GError** error) {
    auto& reader = *static_cast<Reader*>(data);
    Frame frame = std::move(reader.stack.back());
    reader.stack.pop_back();
    switch (frame.kind) {
        case Frame::Kind::leaf: {
            if (frame.element == "key") {
                Frame& dict = reader.stack.back();
                if (!dict.keys.insert(frame.text).second) return fail(error, "key " + frame.text + " repeats");
                dict.pendingKey = frame.text;
                dict.keyPending = true;
                return;
            }
            if ((frame.element == "true" || frame.element == "false") && !frame.text.empty()) {
                return fail(error, "<" + frame.element + "/> holds text");
            }
            return addValue(reader, frame.element, frame.text, error);
        }
        case Frame::Kind::dict:
            if (frame.keyPending) return fail(error, "key " + frame.pendingKey + " has no value");
            return addValue(reader, "dict", {}, error);
        case Frame::Kind::array:
            return addValue(reader, "array", {}, error);
        case Frame::Kind::plist:
            if (frame.values != 1) fail(error, "<plist> holds no value");
            return;
        case Frame::Kind::document:
            return;
    }
}

void text(GMarkupParseContext*, const gchar* text, gsize length, gpointer data, GError** error) {
    auto& reader = *static_cast<Reader*>(data);
    Frame& top = reader.stack.back();
    if (top.kind == Frame::Kind::leaf) {
        top.text.append(text, length);
    } else if (!isBlank(text, length)) {
        fail(error, "stray text: " + std::string(text, length));
    }
}

}  // namespace

bool readDictionary(std::string_view xml, Entries* entries, std::string* error) {
    entries->clear();
    Reader reader;
    reader.entries = entries;
    const GMarkupParser parser{startElement, endElement, text, nullptr, nullptr};
    GMarkupParseContext* context =
        g_markup_parse_context_new(&parser, static_cast<GMarkupParseFlags>(0), &reader, nullptr);
    GError* gerror = nullptr;
    bool ok = g_markup_parse_context_parse(context, xml.data(), static_cast<gssize>(xml.size()), &gerror) &&
              g_markup_parse_context_end_parse(context, &gerror);
    if (ok && !reader.sawPlist) {
        ok = false;
        *error = "no <plist> element";
    }
    if (gerror != nullptr) {
        *error = gerror->message;
        g_error_free(gerror);
    }
    g_markup_parse_context_free(context);
    if (!ok) entries->clear();
    return ok;
}

}  // namespace plist
