// The auto-insert backup file "Rariru1.DAT". Any bytes give only whole records
// with terminated paths; records written from fuzzer-chosen paths and values
// read back as written, up to the first record that the file cuts short.
#include <string>
#include <vector>

#include "drive/autoinsert_records.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Field path;  // one buffer for every record, as RestoreAutoInsert uses it
    ClearField(&path);
    unsigned char value;
    ByteSource source = {data, size, 0};
    size_t records = 0;
    while (ParseAutoInsertRecord(ReadSourceByte, &source, path.text, &value)) {
        records++;
        CHECK(FieldIntact(&path) && strlen(path.text) <= AUTOINSERT_PATH_MAX && 3 * records <= size);
    }
    CHECK(FieldIntact(&path));

    // Records: a path up to a NUL (at most 259 characters, as the writer
    // allows), then one byte of value, written as the first two bytes of its
    // decimal text. The last input byte tells how many bytes to cut off.
    std::vector<std::string> paths;
    std::vector<unsigned char> values;
    std::vector<size_t> ends;
    std::string file, key;
    for (size_t i = 0; i + 1 < size; i++) {
        if (data[i] != 0) {
            key += (char)data[i];
            continue;
        }
        char text[4];
        snprintf(text, sizeof text, "%u", (unsigned)data[++i]);
        key.resize(std::min(key.size(), (size_t)AUTOINSERT_PATH_MAX));
        file += key + std::string(1, '\0') + std::string(text, 2);
        paths.push_back(key), values.push_back((unsigned char)(text[0] - '0')), ends.push_back(file.size());
        key.clear();
    }
    size_t cut = size ? data[size - 1] % 4 : 0;
    file.resize(file.size() > cut ? file.size() - cut : 0);
    ByteSource written = {(const uint8_t *)file.data(), file.size(), 0};
    for (size_t k = 0; k < paths.size() && ends[k] <= file.size(); k++) {
        CHECK(ParseAutoInsertRecord(ReadSourceByte, &written, path.text, &value) == 1);
        CHECK(FieldIntact(&path) && paths[k] == path.text && value == values[k]);
    }
    CHECK(ParseAutoInsertRecord(ReadSourceByte, &written, path.text, &value) == 0);
    return 0;
}
