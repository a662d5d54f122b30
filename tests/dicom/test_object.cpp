// The DICOM object tree: building with sequences, in-place replacement, search and delete,
// cursor editing, sorting, value memory, and the dictionary lookups with their defaults.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "velmar/dicom.h"
#include "velmar/codecs.h"

namespace {

// A small dictionary, enough for sequences and items to nest.
class ObjectTest : public ::testing::Test {
protected:
    AppData app{};
    DicomObject *obj = nullptr;
    std::vector<AttrDef> tags = {
        {0x00080016u, "SOP Class UID", VR_UI, 1, "", ""},
        {0x00100010u, "Patient's Name", VR_PN, 1, "", ""},
        {0x00100020u, "Patient ID", VR_LO, 1, "", ""},
        {0x00540016u, "Radiopharmaceutical Information Sequence", VR_SQ, 1, "", ""},
        {0x00181072u, "Radiopharmaceutical Start Time", VR_TM, 1, "", ""},
        {0x00280009u, "Frame Increment Pointer", VR_AT, 0, "", ""},
        {0x00540010u, "Energy Window Vector", VR_US, 0, "", ""},
        {0x00540020u, "Detector Vector", VR_US, 0, "", ""},
        {0x60003000u, "Overlay Data", VR_OX, 1, "", ""},
        {0x00203100u, "Source Image IDs", VR_CS, 0, "", ""},
        {0xFFFEE000u, "Item", VR_XX, 1, "", ""},
        {0xFFFEE00Du, "Item Delimitation Item", VR_XX, 1, "", ""},
        {0xFFFEE0DDu, "Sequence Delimitation Item", VR_XX, 1, "", ""},
        {0x00100010u, "Shadowed duplicate", VR_LO, 1, "", ""},
    };
    std::vector<AttrDef> secondary = {{0x00091010u, "Site Private", VR_LO, 1, "", ""},
                                      {0x00100020u, "Secondary ID", VR_SH, 1, "", ""}};

    void SetUp() override {
        ASSERT_EQ(init_AppData(&app, "test", "1", nullptr), 0);
        app.primaryTags = tags.data();
        app.primaryTagCount = static_cast<int16_t>(tags.size());
        app.secondaryTags = secondary.data();
        app.secondaryTagCount = static_cast<int16_t>(secondary.size());
        ASSERT_EQ(DO_openObject(&obj), 0);
    }
    void TearDown() override {
        DO_closeObject(&obj);
        app.primaryTags = app.secondaryTags = nullptr;
        app.primaryTagCount = app.secondaryTagCount = 0;
        done_AppData(&app);
    }

    int16_t addText(uint16_t group, uint16_t element, const char *text) {
        DicomElement el{};
        el.group = group;
        el.element = element;
        getVR(&app, VELMAR_TAG(group, element), &el.vr);
        el.length = static_cast<uint32_t>(std::strlen(text));
        el.value = const_cast<char *>(text);
        return DO_addElement(&app, obj, &el);
    }
    int16_t addSequence(uint16_t group, uint16_t element) {
        DicomElement el{};
        el.group = group;
        el.element = element;
        el.vr = VR_SQ;
        el.length = VELMAR_UNDEFINED_LENGTH;
        return DO_addElement(&app, obj, &el);
    }
    std::vector<uint32_t> topTags() {
        std::vector<uint32_t> out;
        for (DicomElement *c = obj->root->firstChild; c != nullptr; c = c->next)
            out.push_back(VELMAR_TAG(c->group, c->element));
        return out;
    }
    static std::vector<uint32_t> childTags(const DicomElement *node) {
        std::vector<uint32_t> out;
        for (DicomElement *c = node->firstChild; c != nullptr; c = c->next)
            out.push_back(VELMAR_TAG(c->group, c->element));
        return out;
    }
};

TEST_F(ObjectTest, SequencesNestAndReplacementKeepsPositionAndChildren) {
    ASSERT_EQ(addText(0x0010, 0x0010, "Doe^John"), 0);
    ASSERT_EQ(addSequence(0x0054, 0x0016), 0);
    ASSERT_EQ(add_Item(&app, obj, VELMAR_UNDEFINED_LENGTH), 0);
    ASSERT_EQ(addText(0x0018, 0x1072, "101010"), 0);
    ASSERT_EQ(add_Item_Delimitation_Item(&app, obj), 0);
    ASSERT_EQ(add_Item(&app, obj, VELMAR_UNDEFINED_LENGTH), 0);
    ASSERT_EQ(add_Item_Delimitation_Item(&app, obj), 0);
    ASSERT_EQ(add_Sequence_Delimitation_Item(&app, obj), 0);
    ASSERT_EQ(addText(0x0010, 0x0020, "ID1"), 0);
    EXPECT_EQ(obj->current, obj->root);
    EXPECT_EQ(topTags(), (std::vector<uint32_t>{0x00100010u, 0x00540016u, 0x00100020u}));

    DicomElement *sequence = obj->root->firstChild->next;
    // Two items are never merged; the sequence ends with its delimiter.
    EXPECT_EQ(childTags(sequence), (std::vector<uint32_t>{0xFFFEE000u, 0xFFFEE000u, 0xFFFEE0DDu}));
    EXPECT_EQ(childTags(sequence->firstChild), (std::vector<uint32_t>{0x00181072u, 0xFFFEE00Du}));
    EXPECT_EQ(sequence->firstChild->parent, sequence);

    // Adding the sequence again replaces it in place: same node, same children.
    ASSERT_EQ(addSequence(0x0054, 0x0016), 0);
    EXPECT_EQ(obj->root->firstChild->next, sequence);
    EXPECT_EQ(childTags(sequence).size(), 3u);
    ASSERT_EQ(add_Sequence_Delimitation_Item(&app, obj), 0);

    // Replacing a text keeps its position; odd values gain one zero byte.
    ASSERT_EQ(addText(0x0010, 0x0010, "Roe"), 0);
    DicomElement *name = obj->root->firstChild;
    EXPECT_EQ(name->length, 4u);
    EXPECT_EQ(std::memcmp(name->value, "Roe\0", 4), 0);
}

TEST_F(ObjectTest, SearchFindsOnlyTopLevelAndCopiesTheValue) {
    addSequence(0x0054, 0x0016);
    add_Item(&app, obj, VELMAR_UNDEFINED_LENGTH);
    addText(0x0018, 0x1072, "101010");
    add_Item_Delimitation_Item(&app, obj);
    add_Sequence_Delimitation_Item(&app, obj);
    addText(0x0010, 0x0020, "ID1");

    DicomElement el{};
    el.group = 0x0018;
    el.element = 0x1072;
    el.length = 7;
    EXPECT_EQ(DO_searchForElement(obj, &el), -1);
    EXPECT_EQ(el.length, 0u);
    EXPECT_EQ(el.value, nullptr);

    el.group = 0x0010;
    el.element = 0x0020;
    ASSERT_EQ(DO_searchForElement(obj, &el), 0);
    ASSERT_NE(el.value, nullptr);
    EXPECT_NE(el.value, obj->root->lastChild->value);
    EXPECT_EQ(std::string(static_cast<char *>(el.value), el.length), std::string("ID1\0", 4));
    D_Free(&el.value);
    EXPECT_EQ(el.value, nullptr);

    // Deleting the sequence frees it with its items; deleting a missing tag is not an error.
    DicomElement key{};
    key.group = 0x0054;
    key.element = 0x0016;
    EXPECT_EQ(DO_deleteElement(&app, obj, &key), 0);
    EXPECT_EQ(topTags(), (std::vector<uint32_t>{0x00100020u}));
    EXPECT_EQ(DO_deleteElement(&app, obj, &key), 0);
    DicomObject *none = nullptr;
    EXPECT_EQ(DO_closeObject(&none), 0);
}

TEST_F(ObjectTest, SortKeepsItemsInOrderAndTheLaterDuplicate) {
    addText(0x0010, 0x0020, "ID1");
    addSequence(0x0054, 0x0016);
    add_Item(&app, obj, VELMAR_UNDEFINED_LENGTH);
    addText(0x0018, 0x1072, "2");
    add_Item_Delimitation_Item(&app, obj);
    add_Item(&app, obj, VELMAR_UNDEFINED_LENGTH);
    addText(0x0018, 0x1072, "3");
    add_Item_Delimitation_Item(&app, obj);
    add_Sequence_Delimitation_Item(&app, obj);
    addText(0x0008, 0x0016, "1.2");
    // A duplicate can only arise by linking; append one by hand behind the first.
    addText(0x0010, 0x0010, "First");
    DicomElement *dup = static_cast<DicomElement *>(std::calloc(1, sizeof(DicomElement)));
    dup->group = 0x0010;
    dup->element = 0x0010;
    dup->length = 6;
    dup->value = std::calloc(1, 6);
    std::memcpy(dup->value, "Second", 6);
    dup->parent = obj->root;
    dup->prev = obj->root->lastChild;
    obj->root->lastChild->next = dup;
    obj->root->lastChild = dup;

    SortCodes(obj->root);
    EXPECT_EQ(topTags(), (std::vector<uint32_t>{0x00080016u, 0x00100010u, 0x00100020u, 0x00540016u}));
    EXPECT_EQ(std::string(static_cast<char *>(obj->root->firstChild->next->value), 6), "Second");
    DicomElement *sequence = obj->root->lastChild;
    EXPECT_EQ(childTags(sequence), (std::vector<uint32_t>{0xFFFEE000u, 0xFFFEE000u, 0xFFFEE0DDu}));
    EXPECT_EQ(static_cast<char *>(sequence->firstChild->firstChild->value)[0], '2');
    EXPECT_EQ(static_cast<char *>(sequence->firstChild->next->firstChild->value)[0], '3');
    EXPECT_EQ(obj->root->lastChild->lastChild->prev->lastChild->element, 0xE00D);
}

// Links a bare node as the last child of `parent`, the way a reader that appends would.
void linkLast(DicomElement *parent, uint16_t group, uint16_t element, char marker) {
    auto *node = static_cast<DicomElement *>(std::calloc(1, sizeof(DicomElement)));
    node->group = group;
    node->element = element;
    node->length = 2;
    node->value = std::calloc(1, 2);
    static_cast<char *>(node->value)[0] = marker;
    node->parent = parent;
    node->prev = parent->lastChild;
    if (parent->lastChild != nullptr) parent->lastChild->next = node;
    else parent->firstChild = node;
    parent->lastChild = node;
}

TEST_F(ObjectTest, SortOrdersAReversedListAndKeepsTheLastOfSeveralDuplicates) {
    for (uint16_t e = 300; e >= 1; --e) linkLast(obj->root, 0x0011, e, 'x');
    linkLast(obj->root, 0x0011, 7, 'a');
    linkLast(obj->root, 0x0011, 7, 'b');
    SortCodes(obj->root);
    std::vector<uint32_t> tags = topTags();
    ASSERT_EQ(tags.size(), 300u);
    for (uint16_t e = 1; e <= 300; ++e) EXPECT_EQ(tags[e - 1], VELMAR_TAG(0x0011, e));
    DicomElement *seventh = obj->root->firstChild;
    for (int i = 1; i < 7; ++i) seventh = seventh->next;
    EXPECT_EQ(static_cast<char *>(seventh->value)[0], 'b');
    EXPECT_EQ(obj->root->lastChild->element, 300);
    EXPECT_EQ(obj->root->lastChild->next, nullptr);
    EXPECT_EQ(obj->root->firstChild->prev, nullptr);
    EXPECT_EQ(seventh->next->prev, seventh);
}

TEST_F(ObjectTest, CursorEditingInsertsInOrderAndAppendsItemsBeforeTheDelimiter) {
    addText(0x0008, 0x0016, "1.2");
    addSequence(0x0054, 0x0016);
    add_Sequence_Delimitation_Item(&app, obj);
    addText(0x0010, 0x0020, "ID");

    DicomElement *node = nullptr;
    ASSERT_EQ(DE_search(&app, obj, &node, 0xFFFF, 0xFFFF, 0), 0);
    EXPECT_EQ(node, obj->root->firstChild);
    // A new item goes before the Sequence Delimitation Item.
    ASSERT_EQ(DE_search(&app, obj, &node, 0x0054, 0x0016, -1), 0);
    DicomElement *sequence = obj->root->firstChild->next;
    EXPECT_EQ(childTags(sequence), (std::vector<uint32_t>{0xFFFEE000u, 0xFFFEE0DDu}));
    EXPECT_EQ(node, sequence->firstChild);
    EXPECT_EQ(obj->cursor, node);

    // Adding inside the empty item makes the element its only child.
    DicomElement el{};
    el.group = 0x0018;
    el.element = 0x1072;
    el.vr = VR_TM;
    el.length = 2;
    el.value = const_cast<char *>("10");
    ASSERT_EQ(DE_add(&app, obj, &el), 0);
    EXPECT_EQ(childTags(node), (std::vector<uint32_t>{0x00181072u}));

    // Back at top level: sorted insertion between existing tags, equal tag replaces.
    node = nullptr;
    DE_search(&app, obj, &node, 0x0010, 0x0020, 0);
    el.group = 0x0010;
    el.element = 0x0010;
    el.vr = VR_PN;
    el.length = 4;
    el.value = const_cast<char *>("Doe ");
    ASSERT_EQ(DE_add(&app, obj, &el), 0);
    EXPECT_EQ(topTags(), (std::vector<uint32_t>{0x00080016u, 0x00100010u, 0x00540016u, 0x00100020u}));
    // Item 1 of the sequence; item 2 does not exist; an item number on a non-sequence keeps the node.
    node = nullptr;
    EXPECT_EQ(DE_search(&app, obj, &node, 0x0054, 0x0016, 1), 0);
    EXPECT_EQ(node, sequence->firstChild);
    node = nullptr;
    EXPECT_EQ(DE_search(&app, obj, &node, 0x0054, 0x0016, 2), -1);
    DicomElement *start = obj->root->firstChild;
    node = start;
    EXPECT_EQ(DE_search(&app, obj, &node, 0x0010, 0x0010, 1), 0);
    EXPECT_EQ(node, start);

    // Delete by key at the cursor's level, then the cursor node itself.
    DicomElement key{};
    key.group = 0x0010;
    key.element = 0x0010;
    EXPECT_EQ(DE_delete(&app, obj, &key), 0);
    EXPECT_EQ(DE_delete(&app, obj, &key), -1);
    node = nullptr;
    DE_search(&app, obj, &node, 0x0054, 0x0016, 0);
    key.group = key.element = 0xFFFF;
    EXPECT_EQ(DE_delete(&app, obj, &key), 0);
    EXPECT_EQ(topTags(), (std::vector<uint32_t>{0x00080016u, 0x00100020u}));
}

TEST_F(ObjectTest, ValueMemoryAndPadding) {
    DicomElement el{};
    el.length = 3;
    el.vr = VR_OB;
    D_Alloc(&el);
    ASSERT_NE(el.value, nullptr);
    EXPECT_EQ(el.length, 4u);
    EXPECT_EQ(static_cast<unsigned char *>(el.value)[3], 0);
    D_Free(&el.value);
    el.vr = VR_SQ;
    el.length = 8;
    D_Alloc(&el);
    EXPECT_EQ(el.value, nullptr);
    el.vr = VR_OB;
    el.length = VELMAR_UNDEFINED_LENGTH;
    D_Alloc(&el);
    EXPECT_EQ(el.value, nullptr);

    char odd[8] = "abc";
    EXPECT_STREQ(padwithspace(odd), "abc ");
    char even[8] = "abcd";
    EXPECT_STREQ(padwithspace(even), "abcd");

    char title[VELMAR_TITLE_SIZE];
    AppData other{};
    init_AppData(&other, "velmar", nullptr, title);
    EXPECT_STREQ(title, "velmar");
    done_AppData(&other);
    init_AppData(&other, "velmar", "2.0", title);
    EXPECT_STREQ(title, "velmar 2.0");
    EXPECT_EQ(other.findDefFile, &getDICOMdeffilefromenvpath);
    done_AppData(&other);
}

TEST_F(ObjectTest, FrameIncrementPointerAndNMVectors) {
    uint16_t fip[] = {0x0054, 0x0010, 0x0054, 0x0020};
    DicomElement el{};
    el.group = 0x0028;
    el.element = 0x0009;
    el.vr = VR_AT;
    el.length = sizeof fip;
    el.value = fip;
    DO_addElement(&app, obj, &el);
    EXPECT_EQ(isInFrameIncrementPointer(&app, obj, 0x0054, 0x0020), 1);
    EXPECT_EQ(isInFrameIncrementPointer(&app, obj, 0x0054, 0x0030), 0);

    uint16_t energy[] = {0, 1, 2, 1};
    FrameVectors vectors{};
    vectors.count = 3;
    vectors.energyWindow = energy;
    ASSERT_EQ(addNMVectors(&app, obj, &vectors), 0);
    DicomElement found{};
    found.group = 0x0054;
    found.element = 0x0010;
    ASSERT_EQ(DO_searchForElement(obj, &found), 0);
    EXPECT_EQ(found.length, 6u);
    EXPECT_EQ(found.vr, VR_US);
    EXPECT_EQ(std::memcmp(found.value, energy + 1, 6), 0);
    D_Free(&found.value);
    found.group = 0x0054;
    found.element = 0x0020;
    EXPECT_EQ(DO_searchForElement(obj, &found), -1);
}

TEST_F(ObjectTest, LookupsFoldRepeatingGroupsAndTakeDefaults) {
    int32_t vr = 0;
    const char *name = nullptr;
    const char *vrName = nullptr;
    EXPECT_EQ(getVRandName(&app, 0x60023000u, &vr, &vrName, &name), 0);
    EXPECT_EQ(vr, VR_OX);
    EXPECT_STREQ(name, "Overlay Data");
    EXPECT_EQ(getVR(&app, 0x00203105u, &vr), 0);
    EXPECT_EQ(vr, VR_CS);
    // Odd groups are not folded: a private creator by default.
    EXPECT_EQ(getVRandName(&app, 0x60010010u, &vr, &vrName, &name), -1);
    EXPECT_EQ(vr, VR_LO);
    EXPECT_STREQ(vrName, "LO");
    EXPECT_STREQ(name, "Private Data Creator");
    EXPECT_EQ(getVRtext(&app, 0x00090000u, &vr, &vrName), -1);
    EXPECT_EQ(vr, VR_UL);
    EXPECT_STREQ(vrName, "UL");
    getAttrName(&app, 0x00090000u, &name);
    EXPECT_STREQ(name, "Group Length");
    getVRandName(&app, 0x00091000u, &vr, &vrName, &name);
    EXPECT_EQ(vr, -1);
    EXPECT_STREQ(vrName, "??");
    EXPECT_STREQ(name, "");
    // Primary before secondary, first record wins; the secondary table adds its own tags.
    getAttrName(&app, 0x00100010u, &name);
    EXPECT_STREQ(name, "Patient's Name");
    getVR(&app, 0x00100020u, &vr);
    EXPECT_EQ(vr, VR_LO);
    getAttrName(&app, 0x00091010u, &name);
    EXPECT_STREQ(name, "Site Private");
    int16_t vm = 5;
    EXPECT_EQ(getVM(&app, 0x00091234u, &vm), -1);
    EXPECT_EQ(vm, 0);
    const char *text = nullptr;
    getPermitted(&app, 0x00091234u, &text);
    EXPECT_STREQ(text, "");
    getCStype(&app, 0x00091234u, &text);
    EXPECT_STREQ(text, "");
    // A reloaded table (new contents at new addresses) is seen by the next lookup.
    std::vector<AttrDef> reloaded = {{0x00100010u, "Renamed", VR_PN, 1, "", ""}};
    app.primaryTags = reloaded.data();
    app.primaryTagCount = 1;
    getAttrName(&app, 0x00100010u, &name);
    EXPECT_STREQ(name, "Renamed");
}

TEST(VRTableTest, NamesCodesAndSwapping) {
    EXPECT_EQ(changeVRnameToVR("OB"), VR_OB);
    EXPECT_EQ(changeVRnameToVR("ob"), -1);
    EXPECT_EQ(changeVRnameToVR("SQ"), VR_SQ);
    EXPECT_EQ(changeVRnameToVR("UN"), VR_UN);
    EXPECT_EQ(changeVRnameToVR("XW"), VR_XW);
    EXPECT_STREQ(changeVRToVRname(VR_UV), "UV");
    EXPECT_STREQ(changeVRToVRname(VR_UNKNOWN_TEXT), "??");
    EXPECT_EQ(changeVRToVRname(-1), nullptr);
    EXPECT_EQ(getVRMaxLength(VR_XX), 0xFFFFFFFFu);
    EXPECT_EQ(getVRMaxLength(VR_LT), 10240u);
    EXPECT_EQ(bigendian(), 0);

    unsigned char at[] = {0x10, 0x00, 0x20, 0x00};
    DicomElement el{};
    el.value = at;
    el.length = 4;
    change_TransferSyntax(VR_AT, &el);
    EXPECT_EQ(std::memcmp(at, "\x00\x10\x00\x20", 4), 0);
    unsigned char ob[] = {1, 2, 3, 4};
    el.value = ob;
    change_TransferSyntax(VR_OB, &el);
    EXPECT_EQ(std::memcmp(ob, "\x01\x02\x03\x04", 4), 0);
    unsigned char fd[] = {1, 2, 3, 4, 5, 6, 7, 8};
    el.value = fd;
    el.length = 8;
    change_TransferSyntax(VR_FD, &el);
    EXPECT_EQ(std::memcmp(fd, "\x08\x07\x06\x05\x04\x03\x02\x01", 8), 0);
    // A trailing partial unit is left alone rather than swapped past the value's end.
    unsigned char odd[] = {1, 2, 3, 4, 5, 6};
    el.value = odd;
    el.length = 5;
    change_TransferSyntax(VR_UL, &el);
    EXPECT_EQ(std::memcmp(odd, "\x04\x03\x02\x01\x05\x06", 6), 0);
}

}  // namespace
