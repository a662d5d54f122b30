// The writer's safety: trees it cannot write are refused or normalised so that what it reports
// saved reads back (here and in dcmdump), the target keeps its permissions and owner, and the
// temporary files of killed writes are removed by the next write into the directory.
#include <sys/wait.h>

#include "test_writer_helpers.h"

using namespace writer_test;

namespace {

// A node linked by hand, as a caller of the object model may build one.
DicomElement *attach(DicomElement *parent, uint32_t tag, const std::string &value = std::string()) {
    auto *node = static_cast<DicomElement *>(std::calloc(1, sizeof(DicomElement)));
    node->group = static_cast<uint16_t>(tag >> 16);
    node->element = static_cast<uint16_t>(tag & 0xFFFF);
    node->vr = -1;
    if (!value.empty()) {
        node->value = std::malloc(value.size());
        std::memcpy(node->value, value.data(), value.size());
        node->length = static_cast<uint32_t>(value.size());
    }
    node->parent = parent;
    node->prev = parent->lastChild;
    (parent->lastChild != nullptr ? parent->lastChild->next : parent->firstChild) = node;
    parent->lastChild = node;
    return node;
}

constexpr uint32_t kItem = 0xFFFEE000u;

class WriterSafetyTest : public ::testing::Test {
   protected:
    TempDir dir;
    Context ctx{dir.file("writer.log")};
    IOObject io{};

    void SetUp() override {
        native_LibraryInit(&ctx.app);
        init_IOObject(&io);
        ASSERT_EQ(DO_openObject(&io.object), 0);
        Builder b{ctx, io.object};
        b.uid(0x00080016u, "1.2.840.10008.5.1.4.1.1.7");
        b.uid(0x00080018u, "1.2.3.4.5.6.7");
        b.text(0x00100010u, "Doe^Jane");
    }
    void TearDown() override { DO_closeObject(&io.object); }

    DicomElement *root() { return io.object->root; }
    int16_t write(const std::string &target, int32_t syntax = TS_EXPLICIT_LITTLE) {
        io.dataSyntax = syntax;
        io.hasPreamble = 1;
        return DO_copyObjectToFile(&ctx.app, &io, target.c_str());
    }
    bool readsBack(const std::string &path) {
        IOObject back{};
        init_IOObject(&back);
        back.metaSyntax = back.dataSyntax = TS_NOT_SET;
        bool ok = DO_importObjectFromFile(&ctx.app, path.c_str(), &back) == 0;
        DO_closeObject(&back.object);
        return ok;
    }
};

struct Malformation {
    const char *name;
    void (*apply)(DicomElement *root);
    const char *message;
    int32_t syntax = TS_EXPLICIT_LITTLE;
};

const Malformation kRefused[] = {
    {"item in the data set", [](DicomElement *r) { attach(r, kItem); },
     "Cannot write element (fffe,e000) in the data set: an item outside a sequence"},
    {"element directly in a sequence",
     [](DicomElement *r) { attach(attach(r, 0x00081140u), 0x00081150u, "1.2"); },
     "Cannot write element (0008,1150) in (0008,1140): an element directly in a sequence"},
    {"sequence with a value", [](DicomElement *r) { attach(r, 0x00081140u, "ab"); },
     "Cannot write element (0008,1140) in the data set: a sequence that also holds a value"},
    {"group length holding items", [](DicomElement *r) { attach(attach(r, 0x00090000u), kItem); },
     "Cannot write element (0009,0000) in the data set: a group length element that holds items"},
    {"private creator holding items in implicit VR",
     [](DicomElement *r) { attach(attach(r, 0x00290010u), kItem); },
     "Cannot write element (0029,0010) in the data set: items under a tag that implicit VR readers take",
     TS_IMPLICIT_LITTLE},
    {"eleven nested sequences",
     [](DicomElement *r) {
         for (int depth = 0; depth < 11; ++depth) r = attach(attach(r, 0x00540012u), kItem);
     },
     "Cannot write element (0054,0012) in an item of (0054,0012): sequences nested more than 10 deep"},
};

TEST_F(WriterSafetyTest, TreesThatCannotBeWrittenAreRefusedAndTheTargetKept) {
    for (const Malformation &m : kRefused) {
        SCOPED_TRACE(m.name);
        DO_closeObject(&io.object);
        ASSERT_EQ(DO_openObject(&io.object), 0);
        m.apply(root());
        std::string target = dir.file("kept.dcm");
        writeFile(target, {'o', 'l', 'd'});
        EXPECT_EQ(write(target, m.syntax), -1);
        EXPECT_EQ(readFile(target), (std::vector<uint8_t>{'o', 'l', 'd'}));
        EXPECT_NE(ctx.log().find(std::string("Error: ") + m.message), std::string::npos) << ctx.log();
        EXPECT_TRUE(dir.leftovers().empty());
    }
}

TEST_F(WriterSafetyTest, PlainIntentIsNormalisedAndReadsBackHereAndInDcmdump) {
    DicomElement *sequence = attach(root(), 0x00081140u);
    DicomElement *item = attach(sequence, kItem);
    attach(item, 0x00081150u, "1.2.3");  // odd UID: padded with a zero byte
    attach(item, 0xFFFEE0DDu);           // a sequence delimiter inside an item
    attach(item, 0xFFFF0010u, "xx");     // a group no data set may hold
    attach(root(), 0x00104000u, "odd");  // odd text: padded with a space
    attach(root(), 0x00010010u, "cm");   // a command group element in a file
    attach(root(), 0x00110000u, "ab");   // a group length of two bytes
    attach(root(), 0xFFFEE00Du);         // an item delimiter in the data set
    bool dcmdump = std::system("command -v dcmdump >/dev/null 2>&1") == 0;
    for (int32_t syntax = 0; syntax <= 2; ++syntax) {
        SCOPED_TRACE(syntax);
        std::string target = dir.file("normalised" + std::to_string(syntax) + ".dcm");
        ASSERT_EQ(write(target, syntax), 0) << ctx.log();
        EXPECT_TRUE(readsBack(target));
        if (dcmdump) EXPECT_EQ(std::system(("dcmdump -q '" + target + "' >/dev/null 2>&1").c_str()), 0);
    }
    std::string log = ctx.log();
    for (const char *expected :
         {"Warning: Dropped delimitation item (fffe,e0dd) misplaced in an item of (0008,1140)",
          "Warning: Dropped delimitation item (fffe,e00d) misplaced in the data set",
          "Warning: Element (ffff,0010) in an item of (0008,1140) lies in a group no data set may hold",
          "Warning: Element (0001,0010) does not belong in a DICOM file; not written",
          "Warning: Element (0011,0000) in the data set is a group length whose value is not 4 bytes",
          "Warning: Element (0010,4000) has an odd value length",
          "Warning: Element (0008,1150) has an odd value length"})
        EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
    EXPECT_EQ(static_cast<const char *>(item->firstChild->value)[5], '\0');
    if (!dcmdump) GTEST_SKIP() << "dcmdump (DCMTK) is not installed: checked by velmar's reader only";
}

TEST_F(WriterSafetyTest, TargetKeepsItsPermissionBitsAndOwner) {
    std::string target = dir.file("private.dcm");
    writeFile(target, {'o', 'l', 'd'});
    // Deflated files are compressed into a second file: it must be as private as the first.
    mode_t mask = umask(0);
    for (bool deflated : {false, true}) {
        for (mode_t mode : {0600, 0640, 0604}) {
            SCOPED_TRACE(deflated ? "deflated" : "explicit");
            ASSERT_EQ(chmod(target.c_str(), mode), 0);
            if (deflated) std::snprintf(io.transferSyntaxUID, sizeof io.transferSyntaxUID, "%s", "1.2.840.10008.1.2.1.99");
            ASSERT_EQ(write(target, deflated ? TS_OTHER : TS_EXPLICIT_LITTLE), 0) << ctx.log();
            struct stat st {};
            ASSERT_EQ(stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, mode);
            EXPECT_TRUE(dir.leftovers().empty());
        }
    }
    umask(mask);
    if (geteuid() != 0) GTEST_SKIP() << "ownership is kept only when running as root or as the owner";
    ASSERT_EQ(chown(target.c_str(), 4242, 4343), 0);
    ASSERT_EQ(write(target), 0);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4343u);
}

pid_t deadProcess() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

TEST_F(WriterSafetyTest, TemporariesOfGoneProcessesAreRemovedByTheNextWrite) {
    std::string dead = "_velmar_" + std::to_string(deadProcess()) + "_0_1.tmp";
    std::string alive = "_velmar_" + std::to_string(getppid()) + "_0_1.tmp";
    for (const std::string &name : {dead, alive, std::string("_velmar_.tmp")})
        writeFile(dir.file(name), {'x'});
    ASSERT_EQ(write(dir.file("a.dcm")), 0);
    std::vector<std::string> left = dir.leftovers();
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = {alive, "_velmar_.tmp"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
}

}  // namespace
