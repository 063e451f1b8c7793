#include <string>

#include "staging/staging.h"
#include "test_support.h"

namespace {
const char kPath[] = "C:\\stage\\tpz1.6.0_13.msi";
}

constexpr uint32_t kSymbolicLinkTag = 0xA000000C;

class ExtractTest : public FakePlatformTest {
 protected:
  // An earlier file at path that is a reparse point with the given tag.
  static void Plant(const std::string& path, const std::vector<unsigned char>& contents, uint32_t tag) {
    fake->files[path] = contents;
    fake->pathFacts[path] = {0x480, 1, contents.size()};
    fake->reparseTags[path] = tag;
  }

  // Extracts a 20000-byte package resource to kPath and expects the run to end
  // with exitCode after exactly one error box with the given text.
  static void ExpectFatalExtraction(uint32_t exitCode, const std::string& message) {
    fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(20000);
    EXPECT_EQ(ExitCodeOf([] { ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath); }), exitCode);
    ASSERT_EQ(fake->messageBoxes.size(), 1u);
    EXPECT_EQ(fake->messageBoxes[0].text, message);
    EXPECT_EQ(fake->messageBoxes[0].caption, "Error");
    EXPECT_EQ(fake->messageBoxes[0].flags, 0u);
  }
};

TEST_F(ExtractTest, WritesInChunksOfAtMost8192Bytes) {
  struct Case {
    size_t size;
    uint32_t maxPerWrite;  // what the system accepts per write
    std::vector<uint32_t> writes;
  } cases[] = {
      {0, UINT32_MAX, {}},
      {1, UINT32_MAX, {1}},
      {8192, UINT32_MAX, {8192}},
      {8193, UINT32_MAX, {8192, 1}},
      {20000, UINT32_MAX, {8192, 8192, 3616}},
      // short writes: advance by what was written, ask for the rest
      {8192, 5000, {8192, 3192}},
      {10000, 3000, {8192, 7000, 4000, 1000}},
  };
  for (const Case& c : cases) {
    SetUp();
    fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(c.size);
    fake->maxBytesPerWrite = c.maxPerWrite;
    EXPECT_TRUE(ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath));
    EXPECT_EQ(fake->writeSizes, c.writes) << c.size;
    EXPECT_EQ(fake->files[kPath], PatternBytes(c.size)) << "byte for byte";
  }
}

TEST_F(ExtractTest, ReplacesAnExistingFile) {
  fake->files[kPath] = std::vector<unsigned char>(50000, 0xEE);
  fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(10);
  EXPECT_TRUE(ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath));
  EXPECT_EQ(fake->files[kPath], PatternBytes(10));
  EXPECT_LT(fake->IndexInLog("truncate " + std::string(kPath)), fake->IndexInLog("close"));
}

TEST_F(ExtractTest, MissingResourceCreatesNothing) {
  EXPECT_FALSE(ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath));
  EXPECT_TRUE(fake->files.empty());
  EXPECT_TRUE(fake->messageBoxes.empty());
}

// Every failure the system can report while a file is staged: the message
// names the operation and the error, the exit code is that error (never 0),
// and the file is left as the failure found it.
TEST_F(ExtractTest, FatalPaths) {
  const std::string create21 = "Installer : Wrapper.CreateFile  failed with error 21: The device is not ready.\r\n";
  const std::string gen31 = " failed with error 31: A device attached to the system is not functioning.\r\n";
  const std::vector<unsigned char> earlier(300, 0x5A);  // an earlier run's file
  constexpr long kNoFile = -1;
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t exitCode;
    std::string message;
    long leftOnDisk;  // bytes of the file afterwards
  } cases[] = {
      {"path not found", [] { fake->uncreatableFiles[kPath] = 3; }, 3,
       "Installer : Wrapper.CreateFile  failed with error 3: The system cannot find the path specified.\r\n", kNoFile},
      {"access denied", [] { fake->uncreatableFiles[kPath] = 5; }, 5,
       "Installer : Wrapper.CreateFile  failed with error 5: Access is denied.\r\n", kNoFile},
      {"disk full", [] { fake->diskSpace = 10000; }, 112,
       "Installer : Wrapper.WriteFile (In small chunks)  failed with error 112: There is not enough space on the disk.\r\n",
       10000},
      {"no progress", [] { fake->zeroByteWrites = true; }, 29,
       "Installer : Wrapper.WriteFile (In small chunks)  failed with error 29: The system cannot write to the specified device.\r\n",
       0},
      {"close fails", [] { fake->closeFails = true; }, 5,
       "Installer : Wrapper.CloseHandle  failed with error 5: Access is denied.\r\n", 20000},
      {"not mapped", [] { fake->unmappableResources.insert({"TARSK_INSTALLER", 101}); }, 1812,
       "Installer : Wrapper.WriteFile (In small chunks)  failed with error 1812: ", kNoFile},
      {"error without a system text", [] { fake->uncreatableFiles[kPath] = 4321; }, 4321,
       "Installer : Wrapper.CreateFile  failed with error 4321: ", kNoFile},
      {"a failure that leaves no error code", [] { fake->uncreatableFiles[kPath] = 0; }, 31,
       "Installer : Wrapper.CreateFile " + gen31, kNoFile},
      {"the new file's facts cannot be read", [] { fake->FailCall("GetFileFacts", 1, 21); }, 21, create21, 0},
      {"an earlier file cannot be emptied",
       [&] { fake->files[kPath] = earlier; fake->FailCall("TruncateFile", 1, 21); }, 21, create21, 300},
      {"a write fails in the second chunk", [] { fake->FailCall("WriteFile", 2, 21); }, 21,
       "Installer : Wrapper.WriteFile (In small chunks)  failed with error 21: The device is not ready.\r\n", 8192},
      {"a write fails without an error code", [] { fake->FailCall("WriteFile", 1, 0); }, 31,
       "Installer : Wrapper.WriteFile (In small chunks) " + gen31, 0},
      {"the written file cannot be held", [] { fake->FailCall("OpenFileHeld", 1, 21); }, 21,
       "Installer : Wrapper.VerifyFile  failed with error 21: The device is not ready.\r\n", 20000},
      {"the held file's facts cannot be read", [] { fake->FailCall("GetFileFacts", 2, 21); }, 21,
       "Installer : Wrapper.VerifyFile  failed with error 21: The device is not ready.\r\n", 20000},
      {"the read-back fails", [] { fake->FailCall("ReadFile", 1, 21); }, 21,
       "Installer : Wrapper.VerifyFile  failed with error 21: The device is not ready.\r\n", 20000},
      {"the read-back fails after its first piece", [] { fake->maxBytesPerRead = 5000; fake->FailCall("ReadFile", 2, 1117); },
       1117, "Installer : Wrapper.VerifyFile  failed with error 1117: ", 20000},
      {"the read-back fails without an error code", [] { fake->FailCall("ReadFile", 1, 0); }, 31,
       "Installer : Wrapper.VerifyFile " + gen31, 20000},
      {"the system has no text for the error", [] { fake->FailCall("WriteFile", 1, 5); fake->FailCall("FormatSystemMessage", 1, 0); },
       5, "Installer : Wrapper.WriteFile (In small chunks)  failed with error 5: ", 0},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    c.arrange();
    ExpectFatalExtraction(c.exitCode, c.message);
    if (c.leftOnDisk == kNoFile) {
      EXPECT_EQ(fake->files.count(kPath), 0u);
    } else {
      ASSERT_EQ(fake->files.count(kPath), 1u);
      EXPECT_EQ(fake->files[kPath].size(), static_cast<size_t>(c.leftOnDisk));
    }
    if (c.leftOnDisk == 300) {
      EXPECT_EQ(fake->files[kPath], earlier) << "an earlier file keeps its contents";
    }
  }
}

TEST_F(ExtractTest, PartlyWrittenFileStaysOnDisk) {
  fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(20000);
  fake->diskSpace = 10000;
  EXPECT_EQ(ExitCodeOf([] { ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath); }), 112u);
  EXPECT_EQ(fake->files[kPath].size(), 10000u);
}

// Once written, the file is held (read access, read sharing) for the rest of
// the run and verified through that handle; the write handle is closed first.
TEST_F(ExtractTest, WrittenFileIsHeldAndVerified) {
  fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(20000);
  EXPECT_TRUE(ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath));
  EXPECT_EQ(fake->heldFiles, std::vector<std::string>{kPath});
  const std::string path = kPath;
  const size_t create = fake->IndexInLog("create " + path);
  const size_t close = fake->IndexInLog("close");
  const size_t hold = fake->IndexInLog("hold " + path);
  EXPECT_LT(create, close);
  EXPECT_LT(close, hold);
  EXPECT_EQ(fake->IndexInLog("truncate " + path), SIZE_MAX) << "a new file needs no truncation";
  EXPECT_EQ(std::count(fake->log.begin() + hold, fake->log.end(), "close"), 0) << "the held handle stays open";
}

// The read-back asks for few large pieces, from pages that are released
// again; without such pages it still verifies, in write-sized pieces. Short
// reads are taken as they come.
TEST_F(ExtractTest, VerifiesInFewLargeReads) {
  constexpr uint32_t big = kVerifyChunk;
  struct Case {
    const char* name;
    size_t size;
    bool pagesUnavailable;
    uint32_t maxPerRead;
    std::vector<uint32_t> requests;
  } cases[] = {
      {"empty file", 0, false, UINT32_MAX, {big}},
      {"one piece", 20000, false, UINT32_MAX, {big, big}},
      {"exactly one piece", kVerifyChunk, false, UINT32_MAX, {big, big}},
      {"three pieces", 600000, false, UINT32_MAX, {big, big, big, big}},
      {"short reads", 300000, false, 100000, {big, big, big, big}},
      {"no pages to be had", 20000, true, UINT32_MAX, {8192, 8192, 8192, 8192}},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(c.size);
    fake->pagesUnavailable = c.pagesUnavailable;
    fake->maxBytesPerRead = c.maxPerRead;
    EXPECT_TRUE(ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath));
    EXPECT_EQ(fake->readRequests, c.requests);
    EXPECT_TRUE(fake->pages.empty()) << "the pages are released";
    EXPECT_TRUE(fake->messageBoxes.empty());
  }
}

// A payload beyond what a signed 32-bit count holds (no edition starts an
// image that large, but no count may wrap on the way there): every byte is
// written once and read back once, and a held file one byte short or long is
// still told from the resource.
TEST_F(ExtractTest, ResourcesAbove2GiBAreWrittenAndVerifiedWhole) {
  struct Case {
    const char* name;
    uint32_t size;
    int64_t heldDifference;  // bytes another process adds to the file before the hold
    uint32_t exitCode;       // 0: extracted
  } cases[] = {
      {"one chunk past 2 GiB", 0x80000000u + kWriteChunk + 1, 0, 0},
      {"held file one byte short", 0x80000000u + kWriteChunk + 1, -1, 1006},
      {"held file one byte long", 0x80000000u + 1, 1, 1006},
  };
  for (const Case& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    fake->zeroResources[{"TARSK_CAB9", 110}] = c.size;
    fake->beforeHold = [&c](const std::string& p) { fake->zeroFileLengths[p] += c.heldDifference; };
    if (c.exitCode == 0) {
      EXPECT_TRUE(ExtractResourceToFile(fake, 110, "TARSK_CAB9", kPath));
    } else {
      EXPECT_EQ(ExitCodeOf([] { ExtractResourceToFile(fake, 110, "TARSK_CAB9", kPath); }), c.exitCode);
    }
    const uint64_t chunks = (uint64_t{c.size} + kWriteChunk - 1) / kWriteChunk;
    ASSERT_EQ(fake->writeSizes.size(), chunks);
    EXPECT_EQ(fake->writeSizes.back(), c.size - (chunks - 1) * kWriteChunk);
    EXPECT_EQ(fake->zeroFileLengths[kPath], uint64_t{c.size} + c.heldDifference);
    if (c.exitCode == 0) {
      EXPECT_TRUE(fake->messageBoxes.empty());
      EXPECT_EQ(fake->readRequests.size(), (uint64_t{c.size} + kVerifyChunk - 1) / kVerifyChunk + 1)
          << "each piece once, then the end";
    } else {
      ASSERT_EQ(fake->messageBoxes.size(), 1u);
    }
  }
}

// A change anywhere in a file of several pieces is found, at a piece's edges too.
TEST_F(ExtractTest, ChangeInALaterPieceIsFound) {
  const size_t offsets[] = {kVerifyChunk - 1, kVerifyChunk, 2 * kVerifyChunk + 1, 599999};
  for (const bool pagesUnavailable : {false, true}) {
    for (const size_t offset : offsets) {
      SetUp();
      SCOPED_TRACE(std::to_string(offset) + (pagesUnavailable ? ", no pages" : ""));
      fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(600000);
      fake->pagesUnavailable = pagesUnavailable;
      fake->beforeHold = [offset](const std::string& p) { fake->files[p][offset] ^= 0x40; };
      EXPECT_EQ(ExitCodeOf([] { ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath); }), 1006u);
      ASSERT_EQ(fake->messageBoxes.size(), 1u);
    }
  }
}

// A name that already leads elsewhere (a link planted in advance) is refused
// before its contents are touched; another process that changes or takes
// the file between the writes and the hold ends the run too.
TEST_F(ExtractTest, RedirectedOrChangedFilesAreRefused) {
  const std::string path = kPath;
  const std::string create1920 = "Installer : Wrapper.CreateFile  failed with error 1920: The file cannot be accessed.\r\n";
  const std::string verify1006 = "Installer : Wrapper.VerifyFile  failed with error 1006: The volume for a file has been externally altered so that the opened file is no longer valid.\r\n";
  const std::vector<unsigned char> planted(300, 0x5A);
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t exitCode;
    std::string message;
    bool untouched;  // the planted file keeps its contents
  } cases[] = {
      {"existing name with a second link", [&] { fake->files[path] = planted; fake->pathFacts[path] = {0x80, 2, 0}; },
       1920, create1920, true},
      {"existing name is a reparse point of no known kind",
       [&] { fake->files[path] = planted; fake->pathFacts[path] = {0x480, 1, 0}; }, 1920, create1920, true},
      {"existing name is a symbolic link",
       [&] { Plant(path, planted, kSymbolicLinkTag); }, 1920, create1920, true},
      {"existing name is a mount point", [&] { Plant(path, planted, 0xA0000003); }, 1920, create1920, true},
      {"existing name is a link only by its name",
       [&] { fake->files[path] = planted; fake->nameAttributes[path] = 0x480; fake->reparseTags[path] = kSymbolicLinkTag; },
       1920, create1920, true},
      {"existing reparse point whose name cannot be looked at",
       [&] { Plant(path, planted, 0x80000013); fake->FailCall("PathAttributes", 1, 5); }, 1920, create1920, true},
      {"a compressed file that cannot be made ordinary",
       [&] { Plant(path, planted, 0x80000017); fake->FailCall("RemoveReparsePoint", 1, 5); }, 5,
       "Installer : Wrapper.CreateFile  failed with error 5: Access is denied.\r\n", true},
      {"a byte changed before the hold", [] { fake->beforeHold = [](const std::string& p) { fake->files[p][7] ^= 1; }; },
       1006, verify1006, false},
      {"the last byte changed before the hold",
       [] { fake->beforeHold = [](const std::string& p) { fake->files[p].back() ^= 1; }; }, 1006, verify1006, false},
      {"a byte added before the hold", [] { fake->beforeHold = [](const std::string& p) { fake->files[p].push_back(0); }; },
       1006, verify1006, false},
      {"cut short before the hold", [] { fake->beforeHold = [](const std::string& p) { fake->files[p].resize(100); }; },
       1006, verify1006, false},
      {"opened for writing by another process", [&] { fake->unholdablePaths[path] = 32; }, 32,
       "Installer : Wrapper.VerifyFile  failed with error 32: ", false},
      {"a reparse point again before the hold",
       [&] {
         fake->beforeHold = [](const std::string& p) {
           fake->pathFacts[p] = {0x480, 1, 0};
           fake->reparseTags[p] = 0x80000017;
         };
       },
       1920, "Installer : Wrapper.VerifyFile  failed with error 1920: The file cannot be accessed.\r\n", false},
      {"replaced by a second link before the hold",
       [&] { fake->beforeHold = [&](const std::string& p) { fake->pathFacts[p] = {0x80, 2, 0}; }; }, 1920,
       "Installer : Wrapper.VerifyFile  failed with error 1920: The file cannot be accessed.\r\n", false},
  };
  // Every case with the large read-back pages, and without them.
  for (const bool pagesUnavailable : {false, true}) {
    for (const Case& c : cases) {
      SetUp();
      SCOPED_TRACE(std::string(c.name) + (pagesUnavailable ? ", no pages" : ""));
      fake->pagesUnavailable = pagesUnavailable;
      c.arrange();
      ExpectFatalExtraction(c.exitCode, c.message);
      if (c.untouched) {
        EXPECT_EQ(fake->files[path], planted);
        EXPECT_TRUE(fake->writeSizes.empty());
      }
    }
  }
}

// A reparse point that names no other file (left by deduplication,
// compression or a cloud filter over an earlier run's files) is made an
// ordinary file through the handle that was opened without following it, and
// replaced like any earlier file; the held file is then an ordinary one.
TEST_F(ExtractTest, ReparsePointsThatNameNoOtherFileAreReplaced) {
  const std::string path = kPath;
  const struct {
    const char* name;
    uint32_t tag;
    size_t earlierBytes;
  } cases[] = {
      {"deduplicated", 0x80000013, 50000},
      {"compressed (WOF)", 0x80000017, 50000},
      {"cloud placeholder", 0x9000001A, 50000},
      {"cloud placeholder with its flags", 0x9000701A, 50000},
      {"cloud placeholder of no size", 0x9000001A, 0},
      {"hierarchical storage", 0xC0000004, 50000},
      {"another vendor's filter", 0x00001234, 50000},
  };
  for (const auto& c : cases) {
    SetUp();
    SCOPED_TRACE(c.name);
    Plant(path, std::vector<unsigned char>(c.earlierBytes, 0xEE), c.tag);
    fake->resources[{"TARSK_INSTALLER", 101}] = PatternBytes(20000);
    EXPECT_TRUE(ExtractResourceToFile(fake, 101, "TARSK_INSTALLER", kPath));
    EXPECT_TRUE(fake->messageBoxes.empty());
    EXPECT_EQ(fake->files[path], PatternBytes(20000));
    const size_t removed = fake->IndexInLog("remove reparse point " + path);
    ASSERT_NE(removed, SIZE_MAX);
    EXPECT_LT(removed, fake->IndexInLog("truncate " + path));
    EXPECT_EQ(fake->reparseTags.count(path), 0u);
    EXPECT_EQ(fake->heldFiles, std::vector<std::string>{path});
  }
}
