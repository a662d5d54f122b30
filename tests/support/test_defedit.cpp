// Tests of element editing through definition entries: the cursor operations at an entry's
// element and the new binding that follows structural changes.
#include <gtest/gtest.h>

#include <string>

#include "defs/test_verify_fixture.h"

using velmar_test::DefDirectory;
using velmar_test::TestContext;
using velmar_test::TestObject;

namespace {

struct Edited {
    TestContext ctx;
    DefDirectory dir;
    TestObject object{&ctx.app};

    Edited() {
        dir.write("ab_tab.def",
                  R"({"A.5", "NM", {{"C.7.1.1", "Patient", 'M', ""}, {"C.8.4.10", "NM Isotope", 'M', ""}}})");
        dir.write("c_tab.def", R"(
{"C.7.1.1", "Patient", {{0x00100010, "Patient's Name", "2", ""}, {0x00100020, "Patient ID", "2", ""}}}
{"C.8.4.10", "NM Isotope", {{0x00540012, "Energy Window Information Sequence", "2", ""}}}
{"C.8.4.10_1", "NM Isotope", {{0x00540014, "Energy Window Lower Limit", "1", ""}, {0x00540018, "Energy Window Name", "3", ""}}}
)");
        object.text(0x0010, 0x0010, "Doe^John");
        object.beginSequence(0x0054, 0x0012);
        object.beginItem();
        object.text(0x0054, 0x0014, "126");
        object.endItem();
        object.endSequence();
        EXPECT_EQ(InitABDef(&ctx.app, object.obj, 1, "A.5"), 0);
        EXPECT_EQ(InitCDef(&ctx.app, object.obj, 1), 0);
        EXPECT_EQ(BindABCDef(&ctx.app, object.obj), 0);
    }
    AttributeEntry *patientName() { return object.obj->boundDefinitions->firstModule->firstAttribute; }
    AttributeEntry *patientID() { return patientName()->next; }
    AttributeEntry *windows() { return object.obj->boundDefinitions->lastModule->firstAttribute; }
};

size_t count(const AttributeEntry *e) {
    size_t n = 0;
    for (; e != nullptr; e = e->next) ++n;
    return n;
}

TEST(DEF_delete, DeletesTheBoundElementAndRebinds) {
    Edited e;
    EXPECT_EQ(DEF_delete(&e.ctx.app, e.object.obj, e.patientID()), 0) << "an entry without element";
    EXPECT_NE(e.object.find(0x0010, 0x0010), nullptr);
    EXPECT_EQ(DEF_delete(&e.ctx.app, e.object.obj, nullptr), 0);

    EXPECT_EQ(DEF_delete(&e.ctx.app, e.object.obj, e.patientName()), 0);
    EXPECT_EQ(e.object.find(0x0010, 0x0010), nullptr);
    EXPECT_EQ(e.patientName()->element, nullptr);
    EXPECT_EQ(e.windows()->element, e.object.find(0x0054, 0x0012)) << "the other bindings are made again";

    // An item entry: its item goes with everything inside it.
    AttributeEntry *item = e.windows()->firstChild;
    ASSERT_NE(item->element, nullptr);
    EXPECT_EQ(DEF_delete(&e.ctx.app, e.object.obj, item), 0);
    EXPECT_EQ(e.windows()->firstChild->element, nullptr);
    EXPECT_EQ(e.object.find(0x0054, 0x0012)->firstChild->group, 0xFFFE);
    EXPECT_EQ(e.object.find(0x0054, 0x0012)->firstChild->element, 0xE0DD) << "only the delimiter is left";
}

TEST(DEF_search, ANewItemGivesTheSequenceANewItemEntry) {
    Edited e;
    ASSERT_EQ(count(e.windows()->firstChild), 1u);
    EXPECT_EQ(DEF_search(&e.ctx.app, e.object.obj, e.windows(), 0x0054, 0x0012, -1), 0);
    ASSERT_EQ(count(e.windows()->firstChild), 2u);
    const DicomElement *added = e.windows()->lastChild->element;
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(e.object.obj->cursor, added);
    EXPECT_EQ(added->next->element, 0xE0DD) << "the item goes before the sequence delimiter";

    EXPECT_EQ(DEF_search(&e.ctx.app, e.object.obj, e.windows(), 0x0054, 0x0012, 1), 0);
    EXPECT_EQ(e.object.obj->cursor, e.windows()->firstChild->element);
}

TEST(DEF_search, WithoutANewItemTheBindingStaysAsItWas) {
    Edited e;
    e.object.text(0x0010, 0x0020, "ID42");  // added behind the binding's back
    EXPECT_EQ(DEF_search(&e.ctx.app, e.object.obj, nullptr, 0x0010, 0x0020, 0), 0);
    EXPECT_EQ(e.object.obj->cursor, e.object.find(0x0010, 0x0020));
    EXPECT_EQ(e.patientID()->element, nullptr) << "searching does not bind";
}

TEST(DEF_add, InsertsAtTheEntrysLevelAndBinds) {
    Edited e;
    DicomElement el = velmar_test::textElement(0x0010, 0x0020, "ID42");
    DOU_defXVRTypeByTags(&e.ctx.app, 0x0010, 0x0020, &el.vr);
    EXPECT_EQ(DEF_add(&e.ctx.app, e.object.obj, e.patientName(), &el), 0);
    ASSERT_NE(e.patientID()->element, nullptr);
    EXPECT_EQ(e.patientID()->element->prev, e.object.find(0x0010, 0x0010)) << "in tag order after the name";

    // Inside an item: the cursor is the item, so the element joins the item's elements.
    AttributeEntry *item = e.windows()->firstChild;
    DicomElement name = velmar_test::textElement(0x0054, 0x0018, "PEAK");
    DOU_defXVRTypeByTags(&e.ctx.app, 0x0054, 0x0018, &name.vr);
    EXPECT_EQ(DEF_add(&e.ctx.app, e.object.obj, item, &name), 0);
    const AttributeEntry *nameEntry = e.windows()->firstChild->lastChild;
    ASSERT_NE(nameEntry->element, nullptr);
    EXPECT_EQ(nameEntry->element->parent, e.windows()->firstChild->element);
    EXPECT_EQ(std::string(static_cast<const char *>(nameEntry->element->value), 4), "PEAK");
}

}  // namespace
