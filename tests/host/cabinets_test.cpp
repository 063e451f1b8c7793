#include <string>

#include "staging/staging.h"
#include "test_support.h"

namespace {
const std::string kFolder = "C:\\Users\\ana\\AppData\\LocalLow\\Velmor\\Tarsk\\";
const char* kWrittenOrder[] = {"sd160130", "ss160130", "st160130", "sj160130",
                               "sp160130", "sz160130", "sb160130", "sr160130"};
}  // namespace

class CabinetTest : public FakePlatformTest {
 protected:
  void SetUp() override {
    FakePlatformTest::SetUp();
    fake->libraries["shell32.dll"] = {true, true, true, "C:\\Users\\ana\\AppData\\LocalLow"};
    for (const CabinetRow& row : CabinetTable) {
      fake->resources[{row.resourceType, row.resourceId}] = PatternBytes(row.resourceId * 100u);
    }
  }
  std::string Folder() const { return kFolder + ProductFolder(); }
  std::vector<std::string> CreatedFiles() const {
    std::vector<std::string> created;
    for (const std::string& entry : fake->log) {
      if (entry.rfind("create ", 0) == 0) created.push_back(entry.substr(7));
    }
    return created;
  }
};

TEST_F(CabinetTest, WritesAllEightInOrderThenSignalsOnce) {
  EXPECT_EQ(CabinetExtractionThread(fake), 1u);
  std::vector<std::string> expected;
  for (const char* name : kWrittenOrder) expected.push_back(Folder() + "\\" + name + ".cab");
  EXPECT_EQ(CreatedFiles(), expected);
  EXPECT_EQ(fake->eventSignals, 1);
  EXPECT_EQ(fake->IndexInLog("signal VelmorTPZCabExtractWaitEvent"), fake->log.size() - 2)
      << "signalled after the last cabinet is closed, then its handle closed";
  EXPECT_TRUE(fake->events["VelmorTPZCabExtractWaitEvent"]);
  EXPECT_EQ(fake->files[Folder() + "\\st160130.cab"], PatternBytes(111 * 100u));
  EXPECT_EQ(fake->files[Folder() + "\\sj160130.cab"], PatternBytes(108 * 100u));
}

TEST_F(CabinetTest, MissingCabinetIsSkippedAndStillSignalled) {
  fake->resources.erase({"TARSK_CAB8", 109});
  CabinetExtractionThread(fake);
  EXPECT_EQ(CreatedFiles().size(), 7u);
  EXPECT_EQ(fake->files.count(Folder() + "\\sp160130.cab"), 0u);
  EXPECT_EQ(fake->eventSignals, 1);
  EXPECT_TRUE(fake->messageBoxes.empty());
}

TEST_F(CabinetTest, WriteFailureEndsTheProcessWithoutSignal) {
  fake->diskSpace = 10700 + 11000 + 500;  // sd and ss fit, st does not
  EXPECT_EQ(ExitCodeOf([] { CabinetExtractionThread(fake); }), 112u);
  EXPECT_EQ(fake->eventSignals, 0);
  ASSERT_EQ(fake->messageBoxes.size(), 1u);
  EXPECT_EQ(fake->messageBoxes[0].text.rfind("Installer : Wrapper.WriteFile (In small chunks)  failed with error 112: ", 0), 0u);
}

TEST_F(CabinetTest, AnExistingSignalledEventKeepsItsState) {
  fake->events["VelmorTPZCabExtractWaitEvent"] = true;
  CreateExtractionEvent();
  EXPECT_TRUE(fake->events["VelmorTPZCabExtractWaitEvent"]);
}
