// Tests of definition binding: direct binding, repeating overlay and curve groups, item entries
// per item, collected elements, rebinding, and finding the IOD by SOP Class UID.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "defs/test_verify_fixture.h"

using velmar_test::DefDirectory;
using velmar_test::TestContext;
using velmar_test::TestObject;

namespace {

const char *kIods = R"({"A.5", "Nuclear Medicine Image", {
  {"C.7.1.1", "Patient", 'M', ""},
  {"C.8.4.10", "NM Isotope", 'M', ""},
  {"C.9.2", "Overlay Plane", 'U', ""},
  {"C.9.3", "Multi-frame Overlay", 'U', ""},
  {"C.10.2", "Curve", 'U', ""},
  {"C.12.1", "SOP Common", 'M', ""}
}})";

const char *kModules = R"(
{"C.7.1.1", "Patient", {{0x00100010, "Patient's Name", "2", ""}, {0x00100020, "Patient ID", "2", ""}}}
{"C.8.4.10", "NM Isotope", {{0x00540012, "Energy Window Information Sequence", "2", ""}}}
{"C.8.4.10_1", "NM Isotope", {{0x00540013, "Energy Window Range Sequence", "3", ""},
                              {0x00540018, "Energy Window Name", "3", ""}}}
{"C.8.4.10_1_1", "NM Isotope", {{0x00540014, "Energy Window Lower Limit", "1", ""}}}
{"C.9.2", "Overlay Plane", {{0x60000010, "Overlay Rows", "1", ""}, {0x60000011, "Overlay Columns", "1", ""},
                            {0x60003000, "Overlay Data", "1", ""}}}
{"C.9.3", "Multi-frame Overlay", {{0x60000015, "Number of Frames in Overlay", "1", ""}}}
{"C.10.2", "Curve", {{0x50000005, "Curve Dimensions", "1", ""}, {0x50003000, "Curve Data", "1", ""}}}
{"C.12.1", "SOP Common", {{0x00080016, "SOP Class UID", "1", ""}}}
)";

struct Bound {
    TestContext ctx;
    DefDirectory dir;
    TestObject object{&ctx.app};

    explicit Bound(bool withPrivateModule = true) {
        dir.write("ab_tab.def", kIods);
        dir.write("c_tab.def", kModules);
        if (withPrivateModule) dir.write("ab2_tab.def", "# nothing\n");
    }
    // Loads the definitions (the object must be built first for bind()).
    void load() {
        ASSERT_EQ(InitABDef(&ctx.app, object.obj, 0, "A.5"), 0) << ctx.takeText();
        ASSERT_EQ(InitCDef(&ctx.app, object.obj, 0), 0) << ctx.takeText();
    }
    int16_t bind() { return BindABCDef(&ctx.app, object.obj); }
    ABDef *set() const { return object.obj->boundDefinitions; }
    ModuleEntry *module(const std::string &key) const {
        for (ModuleEntry *m = set()->firstModule; m != nullptr; m = m->next)
            if (key == m->key) return m;
        return nullptr;
    }
};

struct EntryView {
    uint32_t tag;
    const DicomElement *element;
    uint16_t flags;
    bool operator==(const EntryView &) const = default;
};

std::vector<EntryView> entries(const AttributeEntry *first) {
    std::vector<EntryView> out;
    for (const AttributeEntry *e = first; e != nullptr; e = e->next)
        out.push_back({e->tag, e->element, e->flags});
    return out;
}

size_t count(const AttributeEntry *first) {
    size_t n = 0;
    for (const AttributeEntry *e = first; e != nullptr; e = e->next) ++n;
    return n;
}

void overlay(TestObject &object, uint16_t group) {
    object.words(group, 0x0010, {64});
    object.words(group, 0x0011, {64});
    object.words(group, 0x3000, {0xFFFF, 0});
}

TEST(BindABCDef, BindsEntriesToTheElementsWithTheirTags) {
    Bound b;
    b.object.text(0x0010, 0x0010, "Doe^John");
    b.object.text(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.20");
    b.load();
    ASSERT_EQ(b.bind(), 0);
    const AttributeEntry *name = b.module("C.7.1.1")->firstAttribute;
    EXPECT_EQ(name->element, b.object.find(0x0010, 0x0010));
    EXPECT_EQ(name->next->element, nullptr) << "Patient ID is absent";
    EXPECT_EQ(b.module("C.12.1")->firstAttribute->element, b.object.find(0x0008, 0x0016));
    EXPECT_NE(b.object.find(0x0010, 0x0010)->flags & VELMAR_ELEMENT_BOUND, 0u);
    EXPECT_EQ(b.module("P.R.I.V.A.T.E")->firstAttribute, nullptr) << "nothing left over";
}

TEST(BindABCDef, TwoOverlayGroupsGetTheirOwnEntries) {
    Bound b;
    overlay(b.object, 0x6000);
    overlay(b.object, 0x6002);
    b.load();
    ASSERT_EQ(b.bind(), 0);
    std::vector<EntryView> expected = {
        {0x60000010, b.object.find(0x6000, 0x0010), 0}, {0x60000011, b.object.find(0x6000, 0x0011), 0},
        {0x60003000, b.object.find(0x6000, 0x3000), 0}, {0x60020010, b.object.find(0x6002, 0x0010), 0},
        {0x60020011, b.object.find(0x6002, 0x0011), 0}, {0x60023000, b.object.find(0x6002, 0x3000), 0}};
    EXPECT_EQ(entries(b.module("C.9.2")->firstAttribute), expected);
    EXPECT_EQ(b.module("P.R.I.V.A.T.E")->firstAttribute, nullptr);

    ASSERT_EQ(b.bind(), 0);
    EXPECT_EQ(entries(b.module("C.9.2")->firstAttribute), expected) << "binding again adds nothing";
}

TEST(BindABCDef, ASingleOverlayGroupTakesOverTheDefinitions) {
    Bound b;
    overlay(b.object, 0x6004);
    b.object.text(0x6004, 0x0015, "2");
    b.load();
    ASSERT_EQ(b.bind(), 0);
    std::vector<EntryView> expected = {{0x60040010, b.object.find(0x6004, 0x0010), 0},
                                       {0x60040011, b.object.find(0x6004, 0x0011), 0},
                                       {0x60043000, b.object.find(0x6004, 0x3000), 0}};
    EXPECT_EQ(entries(b.module("C.9.2")->firstAttribute), expected);
    EXPECT_EQ(entries(b.module("C.9.3")->firstAttribute),
              (std::vector<EntryView>{{0x60040015, b.object.find(0x6004, 0x0015), 0}}))
        << "Number of Frames in Overlay belongs to the multi-frame overlay module";
}

TEST(BindABCDef, CurveGroupsAndUndefinedOverlayElements) {
    Bound b;
    b.object.words(0x5002, 0x0005, {1});
    b.object.words(0x6000, 0x0010, {8});
    b.object.text(0x6000, 0x0022, "a description");  // not in the overlay module
    b.load();
    ASSERT_EQ(b.bind(), 0);
    EXPECT_EQ(
        entries(b.module("C.10.2")->firstAttribute),
        (std::vector<EntryView>{{0x50020005, b.object.find(0x5002, 0x0005), 0}, {0x50023000, nullptr, 0}}));
    EXPECT_EQ(entries(b.module("P.R.I.V.A.T.E")->firstAttribute),
              (std::vector<EntryView>{{0x60000022, b.object.find(0x6000, 0x0022), VELMAR_ENTRY_ADDED}}));
}

TEST(BindABCDef, UndefinedElementsGoToTheLastModuleAsType3) {
    for (bool withPrivateModule : {true, false}) {
        Bound b(withPrivateModule);
        b.object.text(0x0002, 0x0010, "1.2.840.10008.1.2.1");  // below group 0008
        b.object.words(0x0008, 0x0000, {0, 0});                // a group length
        b.object.text(0x0009, 0x0010, "VELMAR TEST");          // private creator
        b.object.text(0x0009, 0x1001, "private value");
        b.object.text(0x0018, 0x1030, "protocol");  // in no module of this IOD
        b.load();
        ASSERT_EQ(b.bind(), 0);
        const ModuleEntry *last = b.set()->lastModule;
        EXPECT_STREQ(last->key, withPrivateModule ? "P.R.I.V.A.T.E" : "C.12.1");
        const AttributeEntry *added = withPrivateModule ? last->firstAttribute : last->firstAttribute->next;
        EXPECT_EQ(entries(added), (std::vector<EntryView>{{0x00090010, b.object.find(0x0009, 0x0010), 1},
                                                          {0x00091001, b.object.find(0x0009, 0x1001), 1},
                                                          {0x00181030, b.object.find(0x0018, 0x1030), 1}}));
        EXPECT_STREQ(added->name, "Private Data Creator");
        EXPECT_STREQ(added->next->next->name, "Protocol Name");
        EXPECT_STREQ(added->type, "3");
        EXPECT_STREQ(added->note, "");
        EXPECT_EQ(added->parent, last);
        EXPECT_EQ(b.object.find(0x0002, 0x0010)->flags & VELMAR_ELEMENT_BOUND, 0u);
        EXPECT_EQ(b.object.find(0x0008, 0x0000)->flags & VELMAR_ELEMENT_BOUND, 0u);

        ASSERT_EQ(b.bind(), 0);
        EXPECT_EQ(count(last->firstAttribute), withPrivateModule ? 3u : 4u) << "binding twice adds nothing";
        EXPECT_EQ(added->element, b.object.find(0x0009, 0x0010));
    }
}

// An Energy Window Information Sequence with `items` items, each holding a range sequence of one
// item and a name; the first item also holds an element the definitions lack.
void windows(TestObject &object, int items) {
    object.beginSequence(0x0054, 0x0012);
    for (int i = 0; i < items; ++i) {
        object.beginItem();
        object.beginSequence(0x0054, 0x0013);
        object.beginItem();
        object.text(0x0054, 0x0014, std::to_string(100 + i));
        object.endItem();
        object.endSequence();
        object.text(0x0054, 0x0018, "W" + std::to_string(i));
        if (i == 0) object.text(0x0018, 0x1030, "extra");
        object.endItem();
    }
    object.endSequence();
}

const DicomElement *nthItem(const DicomElement *sequence, int n) {
    const DicomElement *item = sequence->firstChild;
    for (int i = 0; i < n; ++i) item = item->next;
    return item;
}

TEST(BindABCDef, OneItemEntryPerItemAndFewerAfterRebinding) {
    Bound b;
    windows(b.object, 3);
    b.load();
    ASSERT_EQ(b.bind(), 0);
    const AttributeEntry *sequence = b.module("C.8.4.10")->firstAttribute;
    const DicomElement *element = b.object.find(0x0054, 0x0012);
    ASSERT_EQ(sequence->element, element);
    ASSERT_EQ(count(sequence->firstChild), 3u);
    int n = 0;
    for (const AttributeEntry *item = sequence->firstChild; item != nullptr; item = item->next, ++n) {
        const DicomElement *node = nthItem(element, n);
        EXPECT_EQ(item->element, node);
        EXPECT_NE(node->flags & VELMAR_ELEMENT_BOUND, 0u);
        const AttributeEntry *range = item->firstChild;
        ASSERT_EQ(range->tag, 0x00540013u);
        ASSERT_NE(range->element, nullptr);
        const AttributeEntry *lower = range->firstChild->firstChild;
        ASSERT_NE(lower->element, nullptr) << "nested items are bound";
        EXPECT_EQ(std::string(static_cast<const char *>(lower->element->value), 3), std::to_string(100 + n));
        EXPECT_EQ(item->firstChild->next->element->parent, node);
        EXPECT_EQ(count(item->firstChild), n == 0 ? 3u : 2u) << "the extra element of item 1 is collected";
    }
    const AttributeEntry *extra = sequence->firstChild->lastChild;
    EXPECT_EQ(extra->tag, 0x00181030u);
    EXPECT_EQ(extra->flags, VELMAR_ENTRY_ADDED);
    EXPECT_EQ(extra->inSequence, 1);
    EXPECT_EQ(extra->parent, sequence->firstChild);
    EXPECT_EQ(count(sequence->firstChild->next->firstChild), 2u) << "copies leave added entries out";

    // Remove the second item and bind again: two item entries.
    DicomElement *second = const_cast<DicomElement *>(nthItem(element, 1));
    b.object.obj->cursor = second;
    DicomElement key{};
    key.group = key.element = 0xFFFF;
    ASSERT_EQ(DE_delete(&b.ctx.app, b.object.obj, &key), 0);
    ASSERT_EQ(RebindABCDef(&b.ctx.app, b.object.obj), 0);
    ASSERT_EQ(count(sequence->firstChild), 2u);
    EXPECT_EQ(sequence->firstChild->element, nthItem(element, 0));
    EXPECT_EQ(sequence->firstChild->next->element, nthItem(element, 1));
    EXPECT_EQ(count(sequence->firstChild->firstChild), 3u)
        << "the collected entry is bound again, not duplicated";
}

TEST(BindABCDef, AnAbsentSequenceKeepsOneUnboundItemEntry) {
    Bound b;
    windows(b.object, 2);
    b.load();
    ASSERT_EQ(b.bind(), 0);
    DicomElement el{};
    el.group = 0x0054;
    el.element = 0x0012;
    DO_deleteElement(&b.ctx.app, b.object.obj, &el);
    ASSERT_EQ(b.bind(), 0);
    const AttributeEntry *sequence = b.module("C.8.4.10")->firstAttribute;
    EXPECT_EQ(sequence->element, nullptr);
    ASSERT_EQ(count(sequence->firstChild), 1u);
    EXPECT_EQ(sequence->firstChild->element, nullptr);
    EXPECT_EQ(sequence->firstChild->firstChild->element, nullptr);
}

TEST(BindABCDef, WithoutDefinitionsNothingChanges) {
    TestContext ctx;
    TestObject object(&ctx.app);
    object.text(0x0010, 0x0010, "Doe^John");
    EXPECT_EQ(BindABCDef(&ctx.app, object.obj), 0);
    EXPECT_EQ(RebindABCDef(&ctx.app, object.obj), 0);
    EXPECT_EQ(BindABCDef(&ctx.app, nullptr), 0);
    EXPECT_EQ(object.find(0x0010, 0x0010)->flags, 0u);
}

TEST(BindABCDef, OtherFlagBitsOfElementsAreKept) {
    Bound b;
    b.object.text(0x0010, 0x0010, "Doe^John");
    b.object.find(0x0010, 0x0010)->flags = 0x10;
    b.load();
    ASSERT_EQ(b.bind(), 0);
    EXPECT_EQ(b.object.find(0x0010, 0x0010)->flags, 0x11u);
    DicomElement key{};
    key.group = 0x0010;
    key.element = 0x0010;
    DO_deleteElement(&b.ctx.app, b.object.obj, &key);
    b.object.text(0x0002, 0x0002, "1.2.3.4");
    b.object.find(0x0002, 0x0002)->flags = 0x11;  // a stale bound bit
    DoneABCDef(&b.object.obj->boundDefinitions);
    b.load();
    ASSERT_EQ(b.bind(), 0);
    EXPECT_EQ(b.object.find(0x0002, 0x0002)->flags, 0x10u);
    EXPECT_EQ(b.module("C.7.1.1")->firstAttribute->element, nullptr);
}

TEST(InitUABCDef, NeedsTheSOPClassUID) {
    TestContext ctx;
    TestObject object(&ctx.app);
    object.text(0x0010, 0x0010, "Doe^John");
    EXPECT_EQ(InitUABCDef(&ctx.app, object.obj, 0), -1);
    EXPECT_EQ(ctx.takeLines(), std::vector<std::string>{"Error: SOP Class UID (0008,0016) not defined."});
    object.empty(0x0008, 0x0016);
    EXPECT_EQ(InitUABCDef(&ctx.app, object.obj, 0), -1);
    EXPECT_EQ(ctx.takeLines(), std::vector<std::string>{"Error: SOP Class UID (0008,0016) not defined."});
}

TEST(InitUABCDef, FindsLoadsAndBindsTheIODOfTheSOPClass) {
    Bound b;
    b.dir.write("uid_tab.def", "{\"A.5\", \"1.2.840.10008.5.1.4.1.1.20\", \"NM Image Storage\"},\n");
    b.object.text(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.20");
    b.object.text(0x0010, 0x0010, "Doe^John");
    ASSERT_EQ(InitUABCDef(&b.ctx.app, b.object.obj, 0), 0) << b.ctx.takeText();
    ASSERT_NE(b.set(), nullptr);
    EXPECT_STREQ(b.set()->key, "A.5");
    EXPECT_EQ(b.module("C.7.1.1")->firstAttribute->element, b.object.find(0x0010, 0x0010));
    EXPECT_STREQ(b.set()->lastModule->key, "P.R.I.V.A.T.E");

    TestObject other(&b.ctx.app);
    other.text(0x0008, 0x0016, "1.2.3.4");
    EXPECT_EQ(InitUABCDef(&b.ctx.app, other.obj, 0), -1) << "a UID that the table lacks";
    EXPECT_EQ(other.obj->boundDefinitions, nullptr);
}

}  // namespace
