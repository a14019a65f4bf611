// A record file, any bytes of any length, decoded as `bbuctl decode FILE
// --json` decodes it (ctl/decode.cpp over capture/capture_record.h).
//
// The oracle: a file of a record's size (145, 177 or 209 bytes: one, two or
// three battery strings) is taken, and the document's fields read in their
// order (the state save, the general status, each string's status) give the
// file back byte for byte, with the number of strings its size gives; a
// file of any other size is refused as a file error whose reason says the
// size it has.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "invocation.h"

namespace {

using Json = nlohmann::ordered_json;

[[noreturn]] void disagree(const char *what, const std::string &document)
{
    std::fprintf(stderr, "decode: %s:\n%s\n", what, document.c_str());
    std::abort();
}

// The document's bytes in the order its members hold them.
void bytes_of(const Json &member, std::vector<unsigned> &bytes)
{
    if (member.is_number())
        bytes.push_back(member.get<unsigned>());
    else if (member.is_structured())
        for (const Json &inner : member)
            bytes_of(inner, bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    char word[] = "decode";
    char file[] = "record";
    char *argv[] = {word, file, nullptr};
    const int fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size))
        std::abort();  // the scratch directory must take the file
    ::close(fd);
    bbuctl::newDocument();
    bbuctl::setJsonOutput();
    // bbuctl's message on standard error goes to a file, not the fuzzer's log.
    const int log = ::dup(STDERR_FILENO);
    const int messages =
        ::open("messages", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    ::dup2(messages, STDERR_FILENO);
    ::close(messages);
    const int status = bbuctl::decodeCommand.run(2, argv);
    ::dup2(log, STDERR_FILENO);
    ::close(log);
    const std::string text = bbuctl::documentText(status);

    const int strings = size == 145 ? 1 : size == 177 ? 2 : size == 209 ? 3 : 0;
    if (strings == 0) {
        const std::string said = size > 209 ? "more than 209" : std::to_string(size) + " bytes";
        Json error = Json::parse(text)["error"];
        if (status != bbuctl::EXIT_FAILED || error["kind"] != "file" ||
            error["reason"].get<std::string>().find(said) == std::string::npos)
            disagree("a file of no record's size is not refused for its size", text);
        return 0;
    }
    Json &doc = bbuctl::document();
    std::vector<unsigned> bytes;
    for (const char *part : {"state_save_info", "general_status", "battery_string_status"})
        bytes_of(doc[part], bytes);
    if (status != bbuctl::EXIT_OK || doc["strings"] != strings ||
        bytes != std::vector<unsigned>(data, data + size))
        disagree("the record's fields do not give the file back", text);
    return 0;
}
