// The entry decoder against archives written by minizip's zip side: every entry it decodes must
// come out byte for byte, and damaged or mis-described data must be told apart.
#include "transfer/zip_inflate.h"

#include <gtest/gtest.h>
#include <minizip/unzip.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/text.h"
#include "support/scratch_log.h"
#include "support/zip_builder.h"

namespace velka {
namespace {

using testing_support::ScratchFolder;
using testing_support::WriteZip;
using testing_support::ZipItem;

std::string Compressible(size_t size) {
    std::string data(size, '\0');
    uint32_t seed = 7;
    for (char& c : data) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>('a' + (seed >> 16) % 5);
    }
    return data;
}

std::string Incompressible(size_t size) {
    std::string data(size, '\0');
    uint64_t state = 88172645463325252ull;
    for (char& c : data) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state);
    }
    return data;
}

// Where minizip finds the data of every entry of `zip`, in directory order.
std::vector<ZipEntryData> EntriesOf(const std::wstring& zip) {
    std::vector<ZipEntryData> entries;
    unzFile archive = unzOpen64(ToNarrow(zip).c_str());
    EXPECT_NE(archive, nullptr);
    if (!archive) return entries;
    for (int step = unzGoToFirstFile(archive); step == UNZ_OK; step = unzGoToNextFile(archive)) {
        unz_file_info64 info;
        EXPECT_EQ(unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0),
                  UNZ_OK);
        int method = 0;
        int level = 0;
        EXPECT_EQ(unzOpenCurrentFile2(archive, &method, &level, 1), UNZ_OK);
        ZipEntryData entry;
        entry.offset = unzGetCurrentFileZStreamPos64(archive);
        entry.compressedSize = info.compressed_size;
        entry.uncompressedSize = info.uncompressed_size;
        entry.method = info.compression_method;
        entry.crc = static_cast<uint32_t>(info.crc);
        entries.push_back(entry);
        unzCloseCurrentFile(archive);
    }
    unzClose(archive);
    return entries;
}

struct Decoded {
    ZipDecodeStatus status;
    std::string contents;
    int64_t counted;
};

Decoded Decode(ZipEntryDecoder& decoder, const std::wstring& zip, const ZipEntryData& entry,
               const std::wstring& target) {
    File archive(zip, "rb");
    File out(target, "wb");
    EXPECT_TRUE(archive && out);
    std::setvbuf(out.get(), nullptr, _IONBF, 0);
    std::atomic<int64_t> counted{0};
    Decoded result{decoder.Decode(archive.get(), entry, out.get(), &counted), "", 0};
    out.Close();
    ReadFileBytes(target, &result.contents);
    result.counted = counted.load();
    return result;
}

TEST(ZipEntryDecoderTest, DecodesStoredAndDeflatedEntriesOfEverySize) {
    ScratchFolder scratch("zip_inflate");
    const std::vector<ZipItem> items = {
        {"stored.txt", "stored as it is", true, 0},
        {"empty.bin", "", false, 0},
        {"small.txt", "abcabcabcabc", false, 0},
        // Output of several decoder buffers, and input of several read blocks.
        {"large.txt", Compressible(3 * 1024 * 1024 + 11), false, 0},
        {"random.bin", Incompressible(2 * 1024 * 1024 + 5), false, 0},
        {"random-stored.bin", Incompressible(1024 * 1024 + 3), true, 0},
    };
    const std::wstring zip = scratch / L"p.zip";
    ASSERT_TRUE(WriteZip(zip, items));
    const std::vector<ZipEntryData> entries = EntriesOf(zip);
    ASSERT_EQ(entries.size(), items.size());

    ZipEntryDecoder decoder;  // one decoder for every entry, as an archive's unpacking uses it
    for (size_t i = 0; i < items.size(); ++i) {
        const Decoded got = Decode(decoder, zip, entries[i], scratch / L"out.bin");
        EXPECT_EQ(got.status, ZipDecodeStatus::Ok) << items[i].name;
        EXPECT_TRUE(got.contents == items[i].data) << items[i].name;
        EXPECT_EQ(got.counted, static_cast<int64_t>(items[i].data.size())) << items[i].name;
    }
}

TEST(ZipEntryDecoderTest, MisdescribedOrDamagedDataIsReported) {
    ScratchFolder scratch("zip_inflate");
    const std::string data = Compressible(300000);
    const std::wstring zip = scratch / L"p.zip";
    ASSERT_TRUE(WriteZip(zip, {{"a.txt", data, false, 0}, {"s.txt", data, true, 0}}));
    const std::vector<ZipEntryData> entries = EntriesOf(zip);
    ASSERT_EQ(entries.size(), 2u);
    // A file of 0xFF bytes: a final block of the reserved type, which no inflater accepts.
    const std::wstring garbage = scratch / L"garbage.bin";
    ASSERT_TRUE(WriteFileBytes(garbage, std::string(4096, '\xFF')));

    struct Case {
        const char* name;
        std::wstring archive;
        ZipEntryData entry;
        ZipDecodeStatus status;
        size_t written;  // bytes of `data` the file holds afterwards
    };
    ZipEntryData wrongCrc = entries[0];
    wrongCrc.crc ^= 1;
    ZipEntryData cutShort = entries[0];
    cutShort.compressedSize /= 2;
    ZipEntryData longer = entries[0];
    longer.uncompressedSize += 10;
    ZipEntryData shorter = entries[1];
    shorter.uncompressedSize = 1000;
    ZipEntryData storedCut = entries[1];
    storedCut.compressedSize = 500;
    ZipEntryData damaged = entries[0];
    damaged.offset = 0;
    const Case cases[] = {
        {"CRC differs", zip, wrongCrc, ZipDecodeStatus::Mismatch, data.size()},
        {"deflate data cut short", zip, cutShort, ZipDecodeStatus::Mismatch, 0},
        {"longer than the stream", zip, longer, ZipDecodeStatus::Mismatch, data.size()},
        {"declared shorter: never written past it", zip, shorter, ZipDecodeStatus::Mismatch, 1000},
        {"stored data cut short", zip, storedCut, ZipDecodeStatus::Mismatch, 500},
        {"not deflate data", garbage, damaged, ZipDecodeStatus::DataDamaged, 0},
    };
    ZipEntryDecoder decoder;
    for (const Case& c : cases) {
        const Decoded got = Decode(decoder, c.archive, c.entry, scratch / L"out.bin");
        EXPECT_EQ(got.status, c.status) << c.name;
        if (c.written > 0) {
            EXPECT_TRUE(got.contents == data.substr(0, c.written)) << c.name;
        } else {
            EXPECT_LT(got.contents.size(), data.size()) << c.name;
        }
        EXPECT_EQ(got.counted, static_cast<int64_t>(got.contents.size())) << c.name;
    }
    // After a damaged entry the same decoder still decodes a sound one.
    const Decoded again = Decode(decoder, zip, entries[0], scratch / L"out.bin");
    EXPECT_EQ(again.status, ZipDecodeStatus::Ok);
    EXPECT_TRUE(again.contents == data);
}

}  // namespace
}  // namespace velka
