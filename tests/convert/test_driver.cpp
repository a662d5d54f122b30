// Tests of the conversion driver and the general relations: the two programs, Image Type and
// the study type, dates and times, patient attributes, UIDs, and headers that cannot convert.
#include <set>

#include "convert_fixture.h"

namespace convert_test {
namespace {

// A static study: `windows` energy windows with the given images each, 4 x 4, 16 bits.
std::string staticStudy(const std::vector<int> &imagesPerWindow, const std::string &extra = "") {
    int total = 0;
    for (int n : imagesPerWindow) total += n;
    std::string text = headerStart() +
                       "!GENERAL IMAGE DATA :=\n"
                       "!type of data := Static\n"
                       "!total number of images := " + std::to_string(total) + "\n"
                       "study date := 1997:05:21\n"
                       "study time := 14:24:16\n"
                       "number of energy windows := " + std::to_string(imagesPerWindow.size()) + "\n" + extra;
    int image = 0;
    for (size_t w = 1; w <= imagesPerWindow.size(); ++w) {
        std::string n = std::to_string(w);
        text += "energy window [" + n + "] := W" + n + "\n"
                "energy window lower level [" + n + "] := " + std::to_string(100 + w) + "\n"
                "energy window upper level [" + n + "] := " + std::to_string(200 + w) + "\n"
                "!STATIC STUDY (General) :=\n"
                "number of images/energy window := " + std::to_string(imagesPerWindow[w - 1]) + "\n";
        for (int i = 0; i < imagesPerWindow[w - 1]; ++i) {
            ++image;
            text += "!Static Study (each frame) :=\n"
                    "!image number := " + std::to_string(image) + "\n"
                    "!matrix size [1] := 4\n"
                    "!matrix size [2] := 4\n"
                    "!number format := unsigned integer\n"
                    "!number of bytes per pixel := 2\n"
                    "scaling factor (mm/pixel) [1] := 2.5\n"
                    "scaling factor (mm/pixel) [2] := 3.5\n"
                    "image duration (sec) := 120\n"
                    "total counts := " + std::to_string(1000 * image) + "\n";
        }
    }
    return text + "!END OF INTERFILE :=\n";
}

std::string otherStudy(const std::string &modality = "nucmed", const std::string &type = "Other") {
    std::string text = headerStart();
    text.replace(text.find("nucmed"), 6, modality);
    return text +
           "!GENERAL IMAGE DATA :=\n"
           "!type of data := " + type + "\n"
           "!total number of images := 2\n"
           "study date := 1997:05:21\n"
           "study time := 14:24:16\n"
           "!matrix size [1] := 5\n"
           "!matrix size [2] := 4\n"
           "!number format := unsigned integer\n"
           "!number of bytes per pixel := 1\n"
           "!END OF INTERFILE :=\n";
}

using Driver = ConvertTest;

TEST_F(Driver, DatesAndTimesKeepTheirDigitPositions) {
    char da[9] = {0};
    char tm[7] = {0};
    interDateToDA("1997:05:21", da);
    EXPECT_STREQ(da, "19970521");
    interDateToDA("1997:5", da);  // positions without a source character keep "0"
    EXPECT_STREQ(da, "19975000");
    interDateToDA("", da);
    EXPECT_STREQ(da, "00000000");
    interTimeToTM("14:24:16", tm);
    EXPECT_STREQ(tm, "142416");
    interTimeToTM(" 9:05:07.25", tm);  // a leading blank becomes "0", fractions are dropped
    EXPECT_STREQ(tm, "090507");
    interTimeToTM("14:2", tm);
    EXPECT_STREQ(tm, "142000");
}

TEST_F(Driver, StaticStudyBecomesAnNMImage) {
    ASSERT_EQ(convert(staticStudy({3, 2})), 0);
    EXPECT_EQ(text(0x0008, 0x0060), "NM");
    EXPECT_EQ(text(0x0008, 0x0016), "1.2.840.10008.5.1.4.1.1.20");
    EXPECT_EQ(text(0x0008, 0x0008), "ORIGINAL\\PRIMARY\\STATIC\\EMISSION");
    EXPECT_EQ(text(0x0028, 0x0008), "5");
    // Study, Content, Series and Acquisition Date and Time all come from the study date and time.
    for (uint16_t e : {0x0020, 0x0021, 0x0022, 0x0023}) EXPECT_EQ(text(0x0008, e), "19970521") << e;
    for (uint16_t e : {0x0030, 0x0031, 0x0032, 0x0033}) EXPECT_EQ(text(0x0008, e), "142416") << e;
    EXPECT_EQ(text(0x0010, 0x0010), "Doe, John");
    EXPECT_EQ(text(0x0008, 0x0070), "Test Camera");
    EXPECT_EQ(text(0x0008, 0x0080), "Test Hospital");
    EXPECT_EQ(text(0x0020, 0x0013), "1");
    EXPECT_EQ(text(0x0020, 0x1002), "5");
    EXPECT_EQ(text(0x0018, 0x1242), "120000");
    EXPECT_EQ(text(0x0028, 0x0030), "3.500000\\2.500000");
    // Empty by rule, absent by rule.
    for (auto [g, e] : {std::pair{0x0008, 0x0050}, {0x0008, 0x0090}, {0x0010, 0x0032}, {0x0020, 0x0011},
                        {0x0020, 0x0020}, {0x0020, 0x0060}, {0x0018, 0x5100}})
        EXPECT_EQ(value(g, e), "") << std::hex << g << "," << e;
    for (auto [g, e] : {std::pair{0x0008, 0x0005}, {0x0008, 0x0014}, {0x0020, 0x0012}, {0x0008, 0x0064},
                        {0x0018, 0x1012}})
        EXPECT_FALSE(value(g, e).has_value()) << std::hex << g << "," << e;
    // Instance creation clock values: DA and TM forms.
    EXPECT_EQ(value(0x0008, 0x0012)->size(), 8u);
    EXPECT_EQ(value(0x0008, 0x0013)->size(), 10u);
    EXPECT_EQ(value(0x0008, 0x0013)->substr(6), ".00 ");
}

TEST_F(Driver, OtherBecomesASecondaryCaptureWithoutNMAttributes) {
    ASSERT_EQ(convert(otherStudy("NUCMED", "other")), 0);
    EXPECT_EQ(text(0x0008, 0x0060), "OT");
    EXPECT_EQ(text(0x0008, 0x0016), "1.2.840.10008.5.1.4.1.1.7");
    EXPECT_EQ(value(0x0008, 0x0016)->size(), 26u);  // odd UID: the terminating zero pads it
    EXPECT_EQ(value(0x0008, 0x0016)->back(), '\0');
    EXPECT_EQ(value(0x0008, 0x0008), "DERIVED\\SECONDARY\\\\CAPTURED ");
    EXPECT_EQ(text(0x0008, 0x0064), "WSD");
    EXPECT_EQ(text(0x0018, 0x1012), "19970521");
    EXPECT_EQ(text(0x0018, 0x1014), "142416");
    EXPECT_EQ(text(0x0028, 0x0034), "4\\5");
    for (uint16_t e : {0x0008, 0x0009, 0x0030}) EXPECT_FALSE(value(0x0028, e).has_value()) << e;
    for (const DicomElement *c = obj_->root->firstChild; c != nullptr; c = c->next)
        EXPECT_NE(c->group, 0x0054) << std::hex << c->element;
}

// The study type picks the Image Type; the comparison ignores case.
TEST_F(Driver, ImageTypeFollowsTypeOfDataAndProcessStatus) {
    struct Case {
        const char *type;
        const char *status;
        const char *imageType;
        const char *imagesInAcquisition;
    };
    const Case cases[] = {
        {"dynamic", nullptr, "ORIGINAL\\PRIMARY\\DYNAMIC\\EMISSION", "3"},
        {"GATED", nullptr, "ORIGINAL\\PRIMARY\\GATED\\EMISSION", "3"},
        {"Tomographic", "acquired", "ORIGINAL\\PRIMARY\\TOMO\\EMISSION", "3"},
        {"Tomographic", "Reconstructed", "ORIGINAL\\PRIMARY\\RECON TOMO\\EMISSION", "64"},
        {"gspect", "Acquired", "ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION", "3"},
        {"GSPECT", "reconstructed", "ORIGINAL\\PRIMARY\\RECON GATED TOMO\\EMISSION", "64"},
    };
    for (const Case &c : cases) {
        std::string text = headerStart() + "!GENERAL IMAGE DATA :=\n!type of data := " + c.type +
                           "\n!total number of images := 3\n";
        if (c.status != nullptr)
            text += "!process status := " + std::string(c.status) + "\n!number of projections := 64\n";
        ASSERT_EQ(convert(text + "!END OF INTERFILE :=\n"), 0) << c.type;
        EXPECT_EQ(this->text(0x0008, 0x0008), c.imageType) << c.type;
        EXPECT_EQ(this->text(0x0020, 0x1002), c.imagesInAcquisition) << c.type;
        ConversionContext context{};
        splitImageType(&app_, obj_, &context);
        EXPECT_STREQ(context.imageType[0], "ORIGINAL");
        EXPECT_STREQ(context.imageType[3], "EMISSION");
    }
}

TEST_F(Driver, SplitImageTypeCutsAndUpperCases) {
    ConversionContext context{};
    std::memset(context.imageType, 'x', sizeof context.imageType);
    splitImageType(&app_, obj_, &context);  // no Image Type: four empty texts
    for (const auto &t : context.imageType) EXPECT_STREQ(t, "");

    std::string value = "derived\\secondary\\\\" + std::string(60, 'c') + "\\fifth";
    DicomElement el{};
    el.group = 0x0008;
    el.element = 0x0008;
    el.length = static_cast<uint32_t>(value.size());
    el.value = value.data();
    DOU_defXVRTypeByTags(&app_, 0x0008, 0x0008, &el.vr);
    ASSERT_EQ(DO_addElement(&app_, obj_, &el), 0);
    splitImageType(&app_, obj_, &context);
    EXPECT_STREQ(context.imageType[0], "DERIVED");
    EXPECT_STREQ(context.imageType[1], "SECONDARY");
    EXPECT_STREQ(context.imageType[2], "");
    EXPECT_EQ(std::string(context.imageType[3]), std::string(39, 'C'));
}

// Headers the conversion cannot name: the message at level 1, result -1, the caller's process
// goes on and the object keeps what was added before.
TEST_F(Driver, HeaderWithoutNucmedOrImageTypeFailsWithoutEndingTheProcess) {
    EXPECT_EQ(convert(otherStudy("PET")), -1);
    EXPECT_NE(log().find("Error: Modality not NM, OT or not specified"), std::string::npos);
    EXPECT_FALSE(value(0x0008, 0x0060).has_value());

    EXPECT_EQ(convert(otherStudy("nucmed", "Curve")), -1);
    EXPECT_NE(log().find("Error: Image type not specified"), std::string::npos);
    EXPECT_EQ(text(0x0008, 0x0060), "NM");        // added before Image Type
    EXPECT_EQ(text(0x0010, 0x0010), "Doe, John");  // so was the patient
    EXPECT_FALSE(value(0x0008, 0x0016).has_value());
    EXPECT_FALSE(value(0x7FE0, 0x0010).has_value());

    // Tomographic data needs a process status; with a value outside the list it fails too.
    std::string tomo = headerStart() + "!GENERAL IMAGE DATA :=\n!type of data := Tomographic\n"
                                       "!process status := Sideways\n!END OF INTERFILE :=\n";
    EXPECT_EQ(convert(tomo), -1);
}

// A definition without a default for "type of data" leaves it without value: NM is chosen,
// and Image Type then stops the program.
TEST_F(Driver, TypeOfDataWithoutValueOrDefaultIsNM) {
    InterfileHeader *hdr = header(headerStart() + "!GENERAL IMAGE DATA :=\n!END OF INTERFILE :=\n");
    ASSERT_NE(hdr, nullptr);
    int16_t key = findinterkey(hdr, "type of data");
    ASSERT_GT(key, 0);
    char *saved = hdr->definition->keys[key].defaultValue;
    hdr->definition->keys[key].defaultValue = nullptr;
    EXPECT_EQ(IF2DCM_compile(&app_, obj_, hdr), -1);
    hdr->definition->keys[key].defaultValue = saved;
    EXPECT_EQ(text(0x0008, 0x0060), "NM");
}

TEST_F(Driver, PatientSexTakesTheFirstCharacter) {
    const std::pair<const char *, const char *> cases[] = {
        {"female", "F"}, {"m", "M"}, {"Unknown", "O"}, {"x", "O"}};
    for (auto [given, expected] : cases) {
        ASSERT_EQ(convert(otherStudy() + "patient sex := " + given + "\n"), 0);
        EXPECT_EQ(value(0x0010, 0x0040), std::string(expected) + " ") << given;
    }
}

TEST_F(Driver, EmptyDatesAndMissingTextsFollowThePresenceRule) {
    std::string text = otherStudy();
    text.replace(text.find("study date := 1997:05:21"), 24, "study date :=");
    text.replace(text.find("original institution := Test Hospital"), 37, "original institution :=");
    ASSERT_EQ(convert(text), 0);
    EXPECT_EQ(value(0x0008, 0x0020), "");
    EXPECT_EQ(value(0x0008, 0x0023), "");
    EXPECT_EQ(value(0x0018, 0x1012), "");
    EXPECT_FALSE(value(0x0008, 0x0021).has_value());
    EXPECT_FALSE(value(0x0008, 0x0022).has_value());
    EXPECT_FALSE(value(0x0008, 0x0080).has_value());
    EXPECT_EQ(value(0x0010, 0x0030), "");  // no "patient dob"
}

TEST_F(Driver, TextsAreCutAndNumbersRewritten) {
    std::string longName(400, 'n');
    std::string text = staticStudy({1});
    text.replace(text.find("S-1"), 3, "STUDY-IDENTIFIER-OF-29-CHARS");
    text.replace(text.find("Doe, John"), 9, longName);
    text.replace(text.find("!image number := 1"), 18, "!image number := 007");
    ASSERT_EQ(convert(text), 0);
    EXPECT_EQ(value(0x0020, 0x0010), "STUDY-IDENTIFIER");  // cut to 16 characters
    EXPECT_EQ(value(0x0020, 0x0013), "7 ");
    Bytes name = value(0x0010, 0x0010);
    ASSERT_TRUE(name);
    EXPECT_EQ(*name, std::string(64, 'n')) << "cut to the 64 characters of PN";
}

// Three UIDs per conversion, sharing the root and stamp; a second conversion within the same
// second gives three new ones.
TEST_F(Driver, GeneratedUIDsDifferWithinOneSecond) {
    std::set<std::string> seen;
    std::string firstStudy;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(convert(staticStudy({1})), 0);
        std::optional<std::string> study = text(0x0020, 0x000D);
        std::optional<std::string> series = text(0x0020, 0x000E);
        std::optional<std::string> instance = text(0x0008, 0x0018);
        ASSERT_TRUE(study && series && instance);
        for (const std::string *uid : {&*study, &*series, &*instance}) {
            EXPECT_LE(uid->size(), 64u);
            EXPECT_EQ(uid->find_first_not_of("0123456789."), std::string::npos) << *uid;
            EXPECT_TRUE(seen.insert(*uid).second) << "repeated UID " << *uid;
        }
        // Series and instance extend the study UID with the object's numbers.
        EXPECT_EQ(series->rfind(*study, 0), 0u) << *series;
        EXPECT_EQ(*series, *study + ".1.1");
        EXPECT_EQ(*instance, *study + ".1.1.1");
        if (round == 0) firstStudy = *study;
    }
    EXPECT_EQ(seen.size(), 9u);
}

TEST_F(Driver, ExistingElementsAreReplacedOthersStay) {
    DicomElement el{};
    el.group = 0x0010;
    el.element = 0x0010;
    char old[] = "Old^Name";
    el.value = old;
    el.length = 8;
    DOU_defXVRTypeByTags(&app_, 0x0010, 0x0010, &el.vr);
    ASSERT_EQ(DO_addElement(&app_, obj_, &el), 0);
    el.group = 0x0009;  // a private element the conversion does not know
    el.element = 0x0010;
    ASSERT_EQ(DO_addElement(&app_, obj_, &el), 0);
    InterfileHeader *hdr = header(otherStudy());
    ASSERT_EQ(IF2DCM_compile(&app_, obj_, hdr), 0);
    EXPECT_EQ(text(0x0010, 0x0010), "Doe, John");
    EXPECT_EQ(value(0x0009, 0x0010), "Old^Name");
}

}  // namespace
}  // namespace convert_test
