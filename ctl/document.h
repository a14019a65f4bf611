// document.h - bbuctl's machine contract: with --json, every command writes
// exactly one JSON document to standard output, on success and on every kind
// of failure alike, and nothing else; docs/json.md describes each document.
//
// A command fills in its members as it goes and names its failure once; the
// document is written when the command ends (finish()), whichever way it
// ends, so a usage error, an adapter that cannot be opened or a device
// failure all give their document.
#ifndef BBUCTL_DOCUMENT_H
#define BBUCTL_DOCUMENT_H

#include <bbu/bbu.h>

#include <nlohmann/json.hpp>

#include <string>

namespace bbuctl {

// The version of the documents' layout (their "schema" member).
constexpr int SCHEMA_VERSION = 1;

// True with --json.
bool jsonOutput();
void setJsonOutput();

// The command's own members, in the order they are set.
nlohmann::ordered_json &document();

// The command form the document is about ("light set"); `changes` when that
// form can change the BBU, whose documents then carry "changed".
void setForm(const char *form, bool changes);
void setChanged(bool changed);

// What a change's outcome rests on: the list of evidence texts, or false
// when it cannot be verified. Only a change's document carries it, and only
// on success or exit status 3.
void setVerified(const nlohmann::ordered_json &verified);

// Check mode: nothing that changes the BBU is sent; `wouldChange` is what the
// command would do without --check (null when the reads cannot tell).
void setCheck(const nlohmann::ordered_json &wouldChange);

// The failure the document reports as its "error" (the first one named
// wins). `reason` is the message written on standard error.
enum class ErrorKind {
    usage,
    confirmation,
    adapter,
    lock,
    file,
    image,
    downgrade,
    device,
    verdict,
    signal
};
void setError(ErrorKind kind, const std::string &reason, int err = 0);
// Names the error already named as of another kind.
void setErrorKind(ErrorKind kind);
// The errno behind the error already named.
void setErrno(int err);
// A checked operation's failure: its step, why, result, errno and what the
// device holds, with the image state and firmware of its last status read.
void setDeviceError(const std::string &reason, const bbu_checked_result &result);

// What the device holds, as `result` found it, for the error already named.
void setDeviceHolds(const bbu_checked_result &result);

// The form named by setForm(), "" before one is.
std::string formName();

// The document of a command ended at once by a signal, as finish() would
// write it now with an error of kind "signal" giving `reason` and what the
// device holds (`holds`, a name of the document's holds or null; its text;
// the image state's name or null; whether a change was sent); the document
// itself is left as it is.
std::string endedDocument(const std::string &reason, const char *holds,
                          const std::string &holdsText, const char *image, bool changed);

// The document finish() would write now, ending with `status`, as its text.
std::string documentText(int status);

// Starts the document afresh, as a run of bbuctl begins it (--json stays as
// set): for a program that runs one command after another in one process.
void newDocument();

// What the command writes on standard output when it fails, whichever way
// (bbuctl status --prometheus: the failed read as a sample), without --json.
void setFailureOutput(void (*print)());

// Ends the program with `status`: with --json, the document first (else the
// failure output, on a failure). Standard output that could not be written
// whole is said so on standard error, and a success becomes exit status 1.
[[noreturn]] void finish(int status);

}  // namespace bbuctl

#endif  // BBUCTL_DOCUMENT_H
