// bbuctl's JSON document (ctl/document.cpp) with any bytes in every text it
// carries: the command form, a member's value and a key inside a member, the
// error's reason, and the texts of the document a signal ends bbuctl with;
// with any exit status and any checked result (step, why, holds, status).
//
// The oracle: the text written parses back as JSON (else the parser's
// exception ends the target) and gives every text back as it was given
// (bytes that are not UTF-8 replaced by U+FFFD, never ending bbuctl); "ok",
// "changed" and "error" are there as the documents' rules say, "holds" named
// exactly for the library's values of it; and the document of a signal is
// made on a copy, leaving the command's own as it was.
#include <nlohmann/json.hpp>

#include "document.h"
#include "harness.h"

namespace {

using Json = nlohmann::ordered_json;

bool utf8(const std::string &s)
{
    try {
        (void)Json(s).dump();
        return true;
    } catch (const Json::type_error &) {
        return false;
    }
}

// The text as the document must give it back; "" stands for null where
// the document leaves an empty text out.
bool same(const Json &got, const std::string &given, bool empty_is_null = false)
{
    if (given.empty() && empty_is_null)
        return got.is_null();
    if (!got.is_string())
        return false;
    const auto &s = got.get_ref<const std::string &>();
    return utf8(given) ? s == given : s.find("\xEF\xBF\xBD") != std::string::npos;
}

// A text given as a C string: the document has it up to its first NUL.
bool same(const Json &got, const char *given, bool empty_is_null = false)
{
    return same(got, std::string(given), empty_is_null);
}

// The document a signal ends bbuctl with, and the command's own after it.
void check_ended(FuzzedDataProvider &in, const std::string &before, int status, bool changed)
{
    const std::string reason = in.ConsumeRandomLengthString(64);
    const std::string holds = in.ConsumeRandomLengthString(16);
    const std::string holds_text = in.ConsumeRandomLengthString(64);
    const std::string image = in.ConsumeRandomLengthString(16);
    const std::string text =
        bbuctl::endedDocument(reason, holds.c_str(), holds_text, image.c_str(), changed);
    Json error = Json::parse(text)["error"];
    if (error["kind"] != "signal" || !same(error["reason"], reason) ||
        !same(error["holds"], holds.c_str(), true) ||
        !same(error["holds_text"], holds_text, true) || !same(error["image"], image.c_str(), true))
        fail("a signal's document does not give its texts back", text);
    if (bbuctl::documentText(status) != before)
        fail("a signal's document changed the command's own", before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The choices first (from the input's end), so that texts of any length
    // leave them their bytes; holds goes one past either end of its values.
    FuzzedDataProvider in(data, size);
    const int status = in.ConsumeIntegralInRange(0, 3);
    const bool changes = in.ConsumeBool();
    const bool changed = in.ConsumeBool();
    const int named = in.ConsumeIntegralInRange(0, 2);
    const auto kind = static_cast<bbuctl::ErrorKind>(in.ConsumeIntegralInRange(0, 9));
    bbu_checked_result r{};
    r.holds = in.ConsumeIntegralInRange(-1, BBU_HOLDS_FLASH_MODE + 1);
    r.step = in.ConsumeIntegralInRange(-128, 127);
    r.why = in.ConsumeIntegralInRange(-128, 127);
    r.err = in.ConsumeIntegralInRange(-128, 127);
    r.has_status = in.ConsumeBool() ? 1 : 0;
    in.ConsumeData(r.status, sizeof r.status);

    bbuctl::newDocument();
    const std::string form = in.ConsumeRandomLengthString(32);
    bbuctl::setForm(form.c_str(), changes);
    bbuctl::setChanged(changed);
    const std::string file = in.ConsumeRandomLengthString(64);
    const std::string key = in.ConsumeRandomLengthString(16);
    const std::string value = in.ConsumeRandomLengthString(64);
    bbuctl::document()["file"] = file;
    bbuctl::document()["fields"][key] = value;
    const std::string reason =
        named != 0 ? in.ConsumeRandomLengthString(128) : "the operation failed";
    if (named == 1)
        bbuctl::setError(kind, reason, r.err);
    else if (named == 2)
        bbuctl::setDeviceError(reason, r);

    const std::string text = bbuctl::documentText(status);
    Json doc = Json::parse(text);
    const Json fields = doc["fields"];
    if (doc["schema"] != 1 || !same(doc["command"], form.c_str()) || doc["ok"] != (status == 0) ||
        doc.contains("changed") != changes || !same(doc["file"], file) || fields.size() != 1 ||
        !same(fields.begin().key(), key) || !same(fields.front(), value))
        fail("the document does not give its members back", text);
    const bool failed = status == 1 || status == 2;
    const bool holds = named == 2 && r.holds >= 0 && r.holds <= BBU_HOLDS_FLASH_MODE;
    if (doc.contains("error") != failed ||
        (failed &&
         (!same(doc["error"]["reason"], reason) || !same(doc["error"]["operation"], form.c_str()) ||
          doc["error"]["holds"].is_string() != holds)))
        fail("the document's error is not the one named", text);
    check_ended(in, text, status, changed);
    return 0;
}
