#include "filters/RecordFile.h"
#include "filters/Records.h"
#include "filters/StoreTestFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

using namespace qelt;
using qelt::test::TempFolder;

namespace {

std::string messageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const FileIOError& e) {
        return e.what();
    }
    return "<no error>";
}

TEST(RecordLayout, GroupRecordBytes)
{
    const GroupRecord record = MakeGroupRecord("Work", 0x00A0B0C0);
    EXPECT_EQ(std::string(record.begin(), record.end()), test::groupBytes("Work", 0x00A0B0C0));

    GroupRecord damaged{};
    damaged.fill(0xAB); // undefined bytes hold junk; the length byte claims 171 characters
    damaged[28] = 0x01;
    damaged[29] = 0x02;
    damaged[30] = 0x03;
    damaged[31] = 0x00;
    EXPECT_EQ(GroupName(damaged).size(), 25u);
    EXPECT_EQ(GroupColour(damaged), 0x030201u);
    SetGroupColour(damaged, 0x00FF0000);
    EXPECT_EQ(damaged[26], 0xAB) << "only the colour bytes change";
    EXPECT_EQ(damaged[28], 0x00);
    EXPECT_EQ(damaged[30], 0xFF);

    const std::string longName(40, 'n');
    EXPECT_EQ(GroupName(MakeGroupRecord(longName, 0)), std::string(25, 'n'));
}

TEST(RecordLayout, FilterRecordBytes)
{
    const FilterRecord record = MakeFilterRecord("Work", "mail.example");
    EXPECT_EQ(std::string(record.begin(), record.end()), test::filterBytes("Work", "mail.example"));
    const FilterRecord cut = MakeFilterRecord(std::string(30, 'g'), std::string(40, 't'));
    EXPECT_EQ(FilterGroup(cut), std::string(25, 'g'));
    EXPECT_EQ(FilterText(cut), std::string(30, 't'));

    FilterRecord damaged{};
    damaged.fill('x');
    damaged[0] = 200;
    damaged[26] = 255;
    EXPECT_EQ(FilterGroup(damaged).size(), 25u);
    EXPECT_EQ(FilterText(damaged).size(), 30u);
    EXPECT_EQ(FilterText(damaged).data(), reinterpret_cast<const char*>(damaged.data()) + 27);
}

TEST(RecordFile, CountsPositionsAndTransfersWholeRecords)
{
    TempFolder dir;
    const std::string path = dir / "f.dat";
    test::writeFile(path, std::string(10, 'a') + std::string(10, 'b') + "ccc");
    RecordFile file;
    file.Open(path, 10);
    EXPECT_EQ(file.Count(), 2);
    EXPECT_EQ(file.Position(), 0);
    char record[10];
    file.ReadNext(record);
    EXPECT_EQ(std::string(record, 10), std::string(10, 'a'));
    EXPECT_FALSE(file.AtEnd());
    file.ReadNext(record);
    EXPECT_TRUE(file.AtEnd());
    // The partial record is not a record: reading it fails, writing over it appends.
    EXPECT_EQ(messageOf([&] { file.ReadNext(record); }), "Read beyond end of file");
    file.Seek(2);
    file.Write(std::string(10, 'd').data());
    EXPECT_EQ(file.Count(), 3);
    EXPECT_EQ(file.Position(), 3);
    file.Seek(1);
    file.Truncate();
    EXPECT_EQ(file.Count(), 1);
    file.Close();
    EXPECT_EQ(test::readFile(path), std::string(10, 'a'));

    file.Create(path, 10);
    EXPECT_EQ(file.Count(), 0);
    EXPECT_TRUE(file.AtEnd());
    file.Close();
    EXPECT_EQ(test::readFile(path), "");
}

TEST(RecordFile, OpenOrCreateCreatesAMissingFileButNeverEmptiesOne)
{
    TempFolder dir;
    const std::string path = dir / "new.tdf";
    RecordFile file;
    file.OpenOrCreate(path, 10);
    EXPECT_EQ(file.Count(), 0);
    file.Write(std::string(10, 'a').data());
    file.Close();

    // Another writer's records stay, where Create would empty the file.
    file.OpenOrCreate(path, 10);
    EXPECT_EQ(file.Count(), 1);
    EXPECT_EQ(file.Position(), 0);
    file.Close();
    EXPECT_EQ(test::readFile(path), std::string(10, 'a'));
    EXPECT_EQ(messageOf([&] { file.OpenOrCreate(dir / "no/such/folder.tdf", 10); }),
              "Invalid filename");
    EXPECT_EQ(messageOf([&] { file.OpenOrCreate(dir.path(), 10); }), "File access denied");
}

TEST(RecordFile, FailuresCarryTheSystemMessages)
{
    TempFolder dir;
    RecordFile file;
    EXPECT_EQ(messageOf([&] { file.Open(dir / "missing.tdf", 32); }), "File not found");
    EXPECT_EQ(messageOf([&] { file.Open(dir / "no/such/folder.tdf", 32); }), "Invalid filename");
    EXPECT_EQ(messageOf([&] { file.Create(dir / "no/such/folder.tdf", 32); }), "Invalid filename");
    EXPECT_EQ(messageOf([&] { file.Open("", 32); }), "Invalid filename");
    EXPECT_EQ(messageOf([&] { file.Open(dir.path(), 32); }), "File access denied");
    test::writeFile(dir / "plain", "");
    EXPECT_EQ(messageOf([&] { file.Open(dir / "plain/below", 32); }), "Invalid filename");
    ::mkfifo((dir / "fifo").c_str(), 0666);
    EXPECT_EQ(messageOf([&] { file.Open(dir / "fifo", 32); }), "File access denied");
    EXPECT_FALSE(file.IsOpen());

    const std::pair<int, const char*> mapped[] = {
        {EMFILE, "Too many open files"},
        {ENFILE, "Too many open files"},
        {EACCES, "File access denied"},
        {EROFS, "File access denied"},
        {ENOSPC, "Disk full"},
        {EDQUOT, "Disk full"},
        {ENAMETOOLONG, "Invalid filename"},
        {EIO, "I/O error 5"},
    };
    for (const auto& [error, message] : mapped)
        EXPECT_EQ(std::string(FileIOErrorFromErrno(error, dir / "x").what()), message) << error;
    EXPECT_EQ(MakeFileIOError(DiskFull).Code(), 101);
}

TEST(RecordFile, ReadOnlyFileCannotBeOpened)
{
    TempFolder dir;
    test::openToAll(dir);
    const std::string path = dir / "ro.tdf";
    test::writeFile(path, std::string(32, 'r'));
    ::chmod(path.c_str(), 0444);
    const std::string result = test::runAsNobody([&] {
        RecordFile file;
        try {
            file.Open(path, 32);
        } catch (const FileIOError& e) {
            return std::string(e.what());
        }
        return std::string("opened");
    });
    EXPECT_EQ(result, "File access denied");
    EXPECT_EQ(test::readFile(path), std::string(32, 'r'));
}

} // namespace
