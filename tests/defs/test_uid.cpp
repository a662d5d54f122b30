// Tests of the UID table lookup, base.uid, time stamps and UID composition (components, object
// numbers, the 64-character limit and the per-conversion unique component).
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "defs/dict_fixture.h"

namespace {

using dict_test::DefContext;

class UidTable : public DefContext {
   protected:
    std::string lookup(const char *uid, int16_t primaryOnly, int16_t *result) {
        char key[VELMAR_IOD_KEY_SIZE + 1];
        std::memset(key, 'G', sizeof key);
        *result = InitUIDDef(&app_, uid, primaryOnly, key);
        EXPECT_EQ(key[VELMAR_IOD_KEY_SIZE], 'G') << "the key buffer is never overrun";
        key[VELMAR_IOD_KEY_SIZE] = '\0';
        return key;
    }
    std::string found(const char *uid, int16_t primaryOnly = 0) {
        int16_t result = 0;
        std::string key = lookup(uid, primaryOnly, &result);
        return result == 0 ? key : "<-1:" + key + ">";
    }
};

const char *const kNotFound = "<-1:>";

TEST_F(UidTable, PrimaryBeforeSecondary) {
    write("uid_tab.def",
          "# header\n{\"A.5\", \"1.2.840.10008.5.1.4.1.1.20\", \"Nuclear Medicine Image Storage\"},\n"
          "{\"A.8.1\", \"1.2.840.10008.5.1.4.1.1.7\", \"Secondary Capture Image Storage\"},\n");
    write("uid2_tab.def",
          "{\"SITE\", \"1.2.840.10008.5.1.4.1.1.20\", \"override attempt\"},\n"
          "{\"SITE.2\", \"1.2.3.4\", \"site class\"},\n");
    EXPECT_EQ(found("1.2.840.10008.5.1.4.1.1.20"), "A.5");
    EXPECT_EQ(found("1.2.840.10008.5.1.4.1.1.7"), "A.8.1");
    EXPECT_EQ(found("1.2.3.4"), "SITE.2");
    EXPECT_EQ(found("1.2.3.4", 1), kNotFound) << "primaryOnly never reads uid2_tab.def";
    EXPECT_EQ(found("1.2.840.10008.5.1.4.1.1"), kNotFound) << "whole-text comparison";
    EXPECT_EQ(found("1.2.840.10008.5.1.4.1.1.20 "), kNotFound);
    EXPECT_TRUE(errors().empty());
    EXPECT_TRUE(logged("Info: ").empty()) << "the UID lookup writes no loading line";
}

TEST_F(UidTable, MissingFiles) {
    write("uid2_tab.def", "{\"SITE\", \"1.2.3.4\", \"\"},\n");
    EXPECT_EQ(found("1.2.3.4"), kNotFound) << "uid_tab.def is missing";
    write("uid_tab.def", "{\"A.5\", \"1.2.840.10008.5.1.4.1.1.20\", \"\"},\n");
    remove("uid2_tab.def");
    EXPECT_EQ(found("1.2.3.4"), kNotFound);
    EXPECT_EQ(found("1.2.840.10008.5.1.4.1.1.20"), "A.5");
}

TEST_F(UidTable, LastRecordWithoutCommaNeverMatches) {
    write("uid_tab.def", "{\"A.1\", \"1.1\", \"\"},\n{\"A.2\", \"2.2\", \"\"}\n");
    EXPECT_EQ(found("1.1"), "A.1");
    EXPECT_EQ(found("2.2"), kNotFound);
    EXPECT_TRUE(errors().empty());
}

TEST_F(UidTable, KeysAreCutToTheBufferAndUidsToSixtyFourCharacters) {
    std::string uid64(64, '7');
    write("uid_tab.def", "{\"" + std::string(40, 'K') +
                             "\", \"1.2\", \"long key\"},\n"
                             "{\"A.64\", \"" +
                             uid64 + "999\", \"long UID\"},\n");
    EXPECT_EQ(found("1.2"), std::string(VELMAR_IOD_KEY_SIZE - 1, 'K'));
    EXPECT_EQ(found(uid64.c_str()), "A.64");
    EXPECT_EQ(found((uid64 + "999").c_str()), kNotFound);
}

// The line is shown as read, with its own line end, before the message's own.
TEST_F(UidTable, StringErrorsShowTheOffendingLine) {
    write("uid_tab.def", "{\"A.1\", \"1.1\", \"\"},\n{\"A.2\", 2.2, \"name\"},\n");
    EXPECT_EQ(found("9.9"), kNotFound);
    EXPECT_NE(logText().find("Error: character string between \"s (double quote) expected\n"
                             "{\"A.2\", 2.2, \"name\"},\n\n (" +
                             (dir_ / "uid_tab.def").string() + ", line 2).\n"),
              std::string::npos)
        << logText();
}

TEST_F(UidTable, OtherErrorsUseThePlainMessages) {
    write("uid_tab.def", "{\"A.1\" \"1.1\", \"\"},\n");
    EXPECT_EQ(found("1.1"), kNotFound);
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_EQ(velmar_test::withoutPlace(errors()[0]), "',' (comma) expected.");

    write("uid_tab.def", "{\"A.1\", \"1.1\", \"\"},\n[\n");
    EXPECT_EQ(found("2.2"), kNotFound);
    ASSERT_EQ(errors().size(), 2u);
    EXPECT_EQ(velmar_test::withoutPlace(errors()[1]), "'{' (left brace) expected.");

    // A match ends the search before a later error is reached.
    EXPECT_EQ(found("1.1"), "A.1");
    EXPECT_EQ(errors().size(), 2u);
}

TEST_F(UidTable, AVeryLongOffendingLineIsCutInTheMessage) {
    write("uid_tab.def", "{\"A.1\", \"1.1\", " + std::string(3000, 'w') + "},\n");
    EXPECT_EQ(found("1.1"), kNotFound);
    std::string text = logText();
    size_t at = text.find("Error: character string");
    ASSERT_NE(at, std::string::npos);
    EXPECT_LE(text.size() - at, static_cast<size_t>(VELMAR_LOG_LINE_MAX + 1));
}

class ShippedUidTable : public UidTable {
   protected:
    void SetUp() override {
        UidTable::SetUp();
        dict_test::finderDir() = VELMAR_SHARE_DIR;
    }
};

TEST_F(ShippedUidTable, NuclearMedicineAndSecondaryCapture) {
    EXPECT_EQ(found("1.2.840.10008.5.1.4.1.1.20"), "A.5");
    EXPECT_EQ(found("1.2.840.10008.5.1.4.1.1.7"), "A.8.1");
    EXPECT_EQ(found("1.2.840.10008.5.1.4.1.1.20", 1), "A.5");
    EXPECT_TRUE(errors().empty()) << logText();
}

// Every storage SOP class that the standard's UID list maps to an IOD gives that IOD's section.
TEST_F(ShippedUidTable, EveryStorageClassOfTheStandard) {
    std::ifstream in(VELMAR_SHARED_DIR "/standard/uids.tsv");
    if (!in) GTEST_SKIP() << "the standard's uids.tsv is not available";
    std::string line;
    std::getline(in, line);
    int checked = 0;
    while (std::getline(in, line)) {
        std::vector<std::string> cells;
        std::stringstream row(line);
        for (std::string cell; std::getline(row, cell, '\t');) cells.push_back(cell);
        if (cells.size() < 7 || cells[6].empty()) continue;
        EXPECT_EQ(found(cells[0].c_str()), cells[6]) << cells[0] << " " << cells[1];
        ++checked;
    }
    EXPECT_GT(checked, 100);
    EXPECT_TRUE(errors().empty());
}

// ---- UID generation ------------------------------------------------------------------------------

class UidGen : public DefContext {
   protected:
    void SetUp() override {
        DefContext::SetUp();
        ASSERT_EQ(DO_openObject(&obj_), 0);
    }
    void TearDown() override {
        DO_closeObject(&obj_);
        DefContext::TearDown();
    }
    void addNumber(uint16_t element, const std::string &value) {
        DicomElement el{};
        el.group = 0x0020;
        el.element = element;
        el.vr = VR_IS;
        el.length = static_cast<uint32_t>(value.size());
        el.value = const_cast<char *>(value.data());
        ASSERT_EQ(DO_addElement(&app_, obj_, &el), 0);
    }
    std::string gen(uint8_t flags, const char *suffix, int16_t expected = 0) {
        char uid[VELMAR_UID_SIZE + 1];
        std::memset(uid, 'G', sizeof uid);
        EXPECT_EQ(genUID(&app_, obj_, flags, uid, suffix), expected);
        EXPECT_EQ(uid[VELMAR_UID_SIZE], 'G') << "the 65-byte output is never overrun";
        return uid;
    }
    std::string gen2(uint8_t flags, const char *suffix, const char *root, const char *extra,
                     const char *series = nullptr, const char *acquisition = nullptr,
                     const char *instance = nullptr) {
        char uid[VELMAR_UID_SIZE + 1];
        std::memset(uid, 'G', sizeof uid);
        EXPECT_EQ(genUID2(&app_, obj_, flags, uid, suffix, root, extra, series, acquisition, instance), 0);
        EXPECT_EQ(uid[VELMAR_UID_SIZE], 'G') << "the 65-byte output is never overrun";
        return uid;
    }
    DicomObject *obj_ = nullptr;
};

const char *const kStamp = "20240131235959";

TEST_F(UidGen, RootAndStamp) {
    write("base.uid", "1.2.3.\n");
    EXPECT_EQ(gen(0, kStamp), "1.2.3.20240131235959");
    EXPECT_EQ(gen(1, kStamp), "1.2.3.20240131235959") << "bit 1 means nothing to genUID";
    EXPECT_EQ(gen(0, nullptr), "1.2.3");
    EXPECT_EQ(gen(0, ""), "1.2.3");
    EXPECT_EQ(gen(0, "77.\n"), "1.2.3.77") << "the suffix loses one line end and one dot";
}

TEST_F(UidGen, ObjectNumbers) {
    write("base.uid", "1.2.3.\n");
    EXPECT_EQ(gen(7, kStamp), "1.2.3.20240131235959.1.1.1") << "absent numbers become 1";
    EXPECT_EQ(gen(3, kStamp), "1.2.3.20240131235959.1.1");
    EXPECT_EQ(gen(4, kStamp), "1.2.3.20240131235959.1");
    addNumber(0x0011, " 12 ");
    addNumber(0x0012, "3");
    addNumber(0x0013, "45 6 ");
    EXPECT_EQ(gen(7, kStamp), "1.2.3.20240131235959.12.3.45");
    addNumber(0x0011, "");
    addNumber(0x0012, "    ");
    EXPECT_EQ(gen(7, kStamp), "1.2.3.20240131235959.1.1.45") << "empty or blank values count as absent";
}

TEST_F(UidGen, BaseUidReading) {
    write("base.uid",
          "# site root follows; this comment is longer than sixty-four characters on purpose\n"
          "#\n"
          "9.8.7\r\n"
          "6.6.6\n");
    EXPECT_EQ(gen(0, kStamp), "9.8.7.20240131235959");

    write("base.uid", "\n1.2.3\n");
    EXPECT_EQ(gen(0, kStamp), kStamp) << "an empty first line gives no root and no leading dot";

    write("base.uid", std::string(70, '5') + "\n");
    EXPECT_EQ(gen(0, kStamp), std::string(64, '5')) << "at most 64 characters of the line are taken";

    write("base.uid", "1.2..\n");
    EXPECT_EQ(gen(0, nullptr), "1.2.") << "only one trailing dot is removed";

    write("base.uid", "# only a comment\n");
    EXPECT_EQ(gen(7, kStamp, -1), "");
    remove("base.uid");
    EXPECT_EQ(gen(7, kStamp, -1), "");
    char uid[VELMAR_UID_SIZE];
    EXPECT_EQ(genUID2(&app_, obj_, 0, uid, kStamp, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_STREQ(uid, "");
}

TEST_F(UidGen, SixtyFourCharacterLimit) {
    // Root of 49 characters: with the stamp the UID is exactly 64; nothing more fits.
    std::string root49 = "1." + std::string(47, '2');
    write("base.uid", root49 + "\n");
    std::string uid = gen(7, kStamp);
    EXPECT_EQ(uid, root49 + "." + kStamp);
    EXPECT_EQ(uid.size(), 64u);

    // Root of 48: the separator that brings it to 64 stays as the last character.
    std::string root48 = "1." + std::string(46, '2');
    write("base.uid", root48 + "\n");
    EXPECT_EQ(gen(4, kStamp), root48 + "." + kStamp + ".");

    // A suffix longer than the room left is cut at 64.
    write("base.uid", "1.2\n");
    EXPECT_EQ(gen(0, std::string(100, '9').c_str()), "1.2." + std::string(60, '9'));
}

TEST_F(UidGen, GenUID2ReplacesRootAndNumbers) {
    write("base.uid", "1.2.3\n");
    EXPECT_EQ(gen2(7, kStamp, "4.5.6.", nullptr), std::string("4.5.6.") + kStamp + ".1.1.1");
    EXPECT_EQ(gen2(6, kStamp, nullptr, "88", "5.", "6\n", "7"), std::string("1.2.3.") + kStamp + ".5.6.7")
        << "extra needs bit 1; given numbers are trimmed";
    EXPECT_EQ(gen2(1, kStamp, nullptr, "88"), std::string("1.2.3.") + kStamp + ".88");
    EXPECT_EQ(gen2(7, nullptr, "", "88"), "88.1.1.1");
    EXPECT_EQ(gen2(0, nullptr, std::string(80, '3').c_str(), nullptr), std::string(64, '3'));
}

TEST_F(UidGen, ExtraComponentIsCutFirst) {
    std::string root = "2.25.31336315953284189142078";  // 28 characters, the longest a site root may be
    addNumber(0x0011, "1234");
    addNumber(0x0012, "56");
    addNumber(0x0013, "7890");
    // 28 + 15 (".stamp") + 13 (".1234.56.7890") = 56: a dot and 7 characters are left for it.
    std::string uid = gen2(7, kStamp, root.c_str(), "19876543210");
    EXPECT_EQ(uid, root + "." + kStamp + ".1987654" + ".1234.56.7890");
    EXPECT_EQ(uid.size(), 64u);
    // Room for the dot alone: the extra component and its dot are dropped.
    std::string root35 = root + ".444444";
    EXPECT_EQ(gen2(7, kStamp, root35.c_str(), "19876543210"), root35 + "." + kStamp + ".1234.56.7890");
    // Room to spare: nothing is cut.
    EXPECT_EQ(gen2(7, kStamp, "1.2", "19876543210"),
              std::string("1.2.") + kStamp + ".19876543210.1234.56.7890");
}

TEST_F(UidGen, StampIsTheLocalTimeInFourteenDigits) {
    char stamp[VELMAR_STAMP_SIZE + 1];
    std::memset(stamp, 'G', sizeof stamp);
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(gen_stamp(&app_, obj_, stamp), 0);
    std::time_t after = std::time(nullptr);
    EXPECT_EQ(stamp[VELMAR_STAMP_SIZE], 'G');
    ASSERT_EQ(std::strlen(stamp), 14u);
    std::set<std::string> allowed;
    for (std::time_t t = before; t <= after; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
        allowed.insert(text);
    }
    EXPECT_TRUE(allowed.count(stamp) == 1) << stamp;
}

TEST_F(UidGen, UniqueStampsDifferFromCallToCall) {
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        char stamp[VELMAR_STAMP_SIZE];
        char unique[VELMAR_UNIQUE_SIZE];
        ASSERT_EQ(gen_stamp_unique(&app_, obj_, stamp, unique), 0);
        ASSERT_EQ(std::strlen(stamp), 14u);
        ASSERT_EQ(unique[0], '1') << "no leading zero";
        ASSERT_EQ(std::strspn(unique, "0123456789"), std::strlen(unique)) << unique;
        seen.insert(std::string(stamp) + "." + unique);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

// The Study, Series and SOP Instance UIDs of a conversion, made with the shipped root: two
// conversions in the same second differ, and every UID is valid (digits and dots, no empty or
// zero-led component, at most 64 characters).
TEST_F(UidGen, ConversionUidsWithTheShippedRoot) {
    dict_test::finderDir() = VELMAR_SHARE_DIR;
    addNumber(0x0011, "1");
    addNumber(0x0012, "1");
    addNumber(0x0013, "1");
    std::set<std::string> uids;
    for (int conversion = 0; conversion < 2; ++conversion) {
        char stamp[VELMAR_STAMP_SIZE];
        char unique[VELMAR_UNIQUE_SIZE];
        gen_stamp_unique(&app_, obj_, stamp, unique);
        for (uint8_t flags : {1, 3, 7}) {
            std::string uid = gen2(flags, stamp, nullptr, unique);
            EXPECT_LE(uid.size(), 64u);
            std::stringstream parts(uid);
            int count = 0;
            for (std::string part; std::getline(parts, part, '.'); ++count) {
                EXPECT_FALSE(part.empty()) << uid;
                EXPECT_EQ(part.find_first_not_of("0123456789"), std::string::npos) << uid;
                EXPECT_TRUE(part.size() == 1 || part[0] != '0') << uid;
            }
            EXPECT_NE(uid.find(std::string(".") + stamp + "." + std::string(unique).substr(0, 7)),
                      std::string::npos)
                << "root, stamp, then the unique component: " << uid;
            EXPECT_TRUE(uids.insert(uid).second) << uid;
        }
    }
    EXPECT_EQ(uids.size(), 6u);
}

}  // namespace
