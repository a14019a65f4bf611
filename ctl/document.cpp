// document.cpp - the one JSON document of a bbuctl command run with --json.
#include "document.h"

#include "invocation.h"
#include "signals.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace bbuctl {

namespace {

struct Document {
    bool json = false;
    nlohmann::ordered_json form;  // null until the command is known
    bool changes = false;
    bool changed = false;
    nlohmann::ordered_json verified;  // null until the outcome is known
    bool check = false;
    nlohmann::ordered_json wouldChange;
    nlohmann::ordered_json members = nlohmann::ordered_json::object();
    nlohmann::ordered_json error;  // null until a failure is named
    void (*failureOutput)() = nullptr;
};

Document &theDocument()
{
    static Document d;
    return d;
}

const char *kindName(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::usage:
        return "usage";
    case ErrorKind::confirmation:
        return "confirmation";
    case ErrorKind::adapter:
        return "adapter";
    case ErrorKind::lock:
        return "lock";
    case ErrorKind::file:
        return "file";
    case ErrorKind::image:
        return "image";
    case ErrorKind::downgrade:
        return "downgrade";
    case ErrorKind::device:
        return "device";
    case ErrorKind::signal:
        return "signal";
    case ErrorKind::verdict:
        break;
    }
    return "verdict";
}

// bbu_checked_holds by name, in the order of its values.
constexpr const char *kHoldsNames[] = {
    "unchanged",  "old-value",      "new-value", "other-value",   "old-image",
    "new-image",  "no-valid-image", "restarted", "not-restarted", "no-answer",
    "unreadable", "not-verifiable", "flash-mode"};
static_assert(std::size(kHoldsNames) == BBU_HOLDS_FLASH_MODE + 1);

nlohmann::ordered_json orNull(const char *text)
{
    return text != nullptr && *text != '\0' ? nlohmann::ordered_json(text) : nullptr;
}

// A text given whole: a NUL byte in it is part of the text, not its end.
nlohmann::ordered_json orNull(const std::string &text)
{
    return text.empty() ? nullptr : nlohmann::ordered_json(text);
}

nlohmann::ordered_json compose(int status)
{
    Document &d = theDocument();
    nlohmann::ordered_json doc;
    doc["schema"] = SCHEMA_VERSION;
    doc["command"] = d.form;
    doc["ok"] = status == EXIT_OK;
    if (d.changes)
        doc["changed"] = d.changed;
    if (d.changes && !d.verified.is_null() && (status == EXIT_OK || status == EXIT_UNVERIFIED))
        doc["verified"] = d.verified;
    if (d.check) {
        doc["check"] = true;
        doc["would_change"] = d.wouldChange;
    }
    for (const auto &[key, value] : d.members.items())
        doc[key] = value;
    if (status != EXIT_OK && status != EXIT_UNVERIFIED) {
        if (d.error.is_null())
            setError(ErrorKind::device, "the operation failed");
        doc["error"] = d.error;
    }
    return doc;
}

// Texts are made printable before they get here; should a byte that is not
// UTF-8 slip through, it is replaced rather than ending the program.
std::string text(const nlohmann::ordered_json &doc)
{
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void write(int status)
{
    std::fputs(documentText(status).c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::string documentText(int status)
{
    return text(compose(status));
}

void newDocument()
{
    const bool json = theDocument().json;
    theDocument() = Document{};
    theDocument().json = json;
}

bool jsonOutput()
{
    return theDocument().json;
}

void setJsonOutput()
{
    theDocument().json = true;
}

nlohmann::ordered_json &document()
{
    return theDocument().members;
}

void setForm(const char *form, bool changes)
{
    theDocument().form = form;
    theDocument().changes = changes;
    signals::formNamed();
}

void setChanged(bool changed)
{
    theDocument().changed = changed;
}

void setVerified(const nlohmann::ordered_json &verified)
{
    theDocument().verified = verified;
}

void setCheck(const nlohmann::ordered_json &wouldChange)
{
    theDocument().check = true;
    theDocument().wouldChange = wouldChange;
}

void setError(ErrorKind kind, const std::string &reason, int err)
{
    Document &d = theDocument();
    if (!d.error.is_null())
        return;
    d.error = {
        {"kind", kindName(kind)}, {"operation", d.form},
        {"reason", reason},       {"errno", err != 0 ? nlohmann::ordered_json(err) : nullptr},
        {"result", nullptr},      {"step", nullptr},
        {"why", nullptr},         {"holds", nullptr},
        {"holds_text", nullptr},  {"image", nullptr},
        {"firmware", nullptr}};
}

void setErrorKind(ErrorKind kind)
{
    if (theDocument().error.is_object())
        theDocument().error["kind"] = kindName(kind);
}

void setErrno(int err)
{
    if (theDocument().error.is_object() && err != 0)
        theDocument().error["errno"] = err;
}

void setDeviceError(const std::string &reason, const bbu_checked_result &r)
{
    Document &d = theDocument();
    if (!d.error.is_null())
        return;
    setError(ErrorKind::device, reason, r.err);
    d.error["result"] = r.rc;
    d.error["step"] = orNull(bbu_checked_step_text(r.step));
    d.error["why"] = orNull(bbu_checked_why_text(r.why));
    setDeviceHolds(r);
}

void setDeviceHolds(const bbu_checked_result &r)
{
    Document &d = theDocument();
    if (!d.error.is_object())
        return;
    if (r.holds >= 0 && r.holds < static_cast<int>(std::size(kHoldsNames))) {
        d.error["holds"] = kHoldsNames[r.holds];
        d.error["holds_text"] = orNull(bbu_checked_holds_text(r.holds));
    }
    if (r.has_status != 0) {
        d.error["image"] = imageStateName(imageState(r.status));
        char firmware[8];
        std::snprintf(firmware, sizeof firmware, "%02x.%02x", r.status[30], r.status[31]);
        d.error["firmware"] = firmware;
    }
}

std::string formName()
{
    const nlohmann::ordered_json &form = theDocument().form;
    return form.is_string() ? form.get<std::string>() : "";
}

std::string endedDocument(const std::string &reason, const char *holds,
                          const std::string &holdsText, const char *image, bool changed)
{
    // On a copy: the command goes on, and its own outcome may yet be the document.
    const Document saved = theDocument();
    Document &d = theDocument();
    d.error = nullptr;
    d.changed = d.changed || changed;
    setError(ErrorKind::signal, reason);
    d.error["holds"] = orNull(holds);
    d.error["holds_text"] = orNull(holdsText);
    d.error["image"] = orNull(image);
    std::string document = text(compose(EXIT_FAILED));
    d = saved;
    return document;
}

void setFailureOutput(void (*print)())
{
    theDocument().failureOutput = print;
}

void finish(int status)
{
    signals::holdOff();
    const Document &d = theDocument();
    if (jsonOutput())
        write(status);
    else if (status != EXIT_OK && d.failureOutput != nullptr)
        d.failureOutput();
    if (const int err = outputLost(); err != 0) {
        const std::string form = d.form.is_string() ? d.form.get<std::string>() + ": " : "";
        message("%scannot write to standard output: %s", form.c_str(), std::strerror(err));
        if (status == EXIT_OK)
            status = EXIT_FAILED;
    }
    std::exit(status);
}

}  // namespace bbuctl
