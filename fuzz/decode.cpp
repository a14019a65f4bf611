// A record file, any bytes of any length, decoded as `bbuctl decode FILE
// --json` decodes it (ctl/decode.cpp over capture/capture_record.h).
//
// The oracle: a file of a record's size (145, 177 or 209 bytes: one, two or
// three battery strings) is taken, and the document's fields read in their
// order (the state save, the general status, each string's status) give the
// file back byte for byte, with the number of strings its size gives; a
// file of any other size is refused as a file error whose reason says the
// size it has.
#include <nlohmann/json.hpp>

#include "harness.h"
#include "invocation.h"

namespace {

using Json = nlohmann::ordered_json;

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
    write_file(file, data, size);
    bbuctl::newDocument();
    bbuctl::setJsonOutput();
    int status = 0;
    said_by([&] { status = bbuctl::decodeCommand.run(2, argv); });  // its message, not looked at
    const std::string text = bbuctl::documentText(status);

    const int strings = size == 145 ? 1 : size == 177 ? 2 : size == 209 ? 3 : 0;
    if (strings == 0) {
        const std::string said = size > 209 ? "more than 209" : std::to_string(size) + " bytes";
        Json error = Json::parse(text)["error"];
        if (status != bbuctl::EXIT_FAILED || error["kind"] != "file" ||
            error["reason"].get<std::string>().find(said) == std::string::npos)
            fail("a file of no record's size is not refused for its size", text);
        return 0;
    }
    Json &doc = bbuctl::document();
    std::vector<unsigned> bytes;
    for (const char *part : {"state_save_info", "general_status", "battery_string_status"})
        bytes_of(doc[part], bytes);
    if (status != bbuctl::EXIT_OK || doc["strings"] != strings ||
        bytes != std::vector<unsigned>(data, data + size))
        fail("the record's fields do not give the file back", text);
    return 0;
}
