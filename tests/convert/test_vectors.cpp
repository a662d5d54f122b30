// Tests of the frame machinery for each study type (frame vectors, Frame Increment Pointer, the
// count elements) and of the NM sequences and acquisition attributes.
#include "convert_fixture.h"

namespace convert_test {
namespace {

using V = std::vector<uint16_t>;

std::string generalImageData(const std::string &type, int images, const std::string &more = "") {
    return headerStart() +
           "!GENERAL IMAGE DATA :=\n"
           "!type of data := " + type + "\n"
           "!total number of images := " + std::to_string(images) + "\n"
           "imagedata byte order := LITTLEENDIAN\n" + more;
}

const std::string kMatrix =
    "!matrix size [1] := 4\n!matrix size [2] := 4\n!number format := unsigned integer\n"
    "!number of bytes per pixel := 2\nscaling factor (mm/pixel) [1] := 4\nscaling factor (mm/pixel) [2] := 4\n";

std::string dynamicStudy(const std::vector<std::vector<int>> &groupsPerWindow) {
    int total = 0;
    for (const auto &groups : groupsPerWindow)
        for (int n : groups) total += n;
    std::string text = generalImageData("Dynamic", total,
                                        "number of energy windows := " + std::to_string(groupsPerWindow.size()) + "\n");
    for (size_t w = 1; w <= groupsPerWindow.size(); ++w) {
        text += "energy window [" + std::to_string(w) + "] := W\n";
        text += "!DYNAMIC STUDY (general) :=\nnumber of frame groups := " +
                std::to_string(groupsPerWindow[w - 1].size()) + "\n";
        for (size_t g = 0; g < groupsPerWindow[w - 1].size(); ++g) {
            text += "!Dynamic Study (each frame group) :=\n" + kMatrix +
                    "!number of images this frame group := " + std::to_string(groupsPerWindow[w - 1][g]) + "\n" +
                    "!image duration (sec) := " + (g == 1 ? "0.5" : "2") + "\n" +
                    "pause between frame groups (sec) := " + (g == 1 ? "2.5" : "0") + "\n";
        }
    }
    return text + "!END OF INTERFILE :=\n";
}

std::string gatedStudy(const std::vector<int> &imagesPerWindow, const std::string &framing = "forward") {
    int total = 0;
    for (int n : imagesPerWindow) total += n;
    std::string text = generalImageData("Gated", total, "!GATED STUDY (general) :=\n" + kMatrix +
                                                            "number of time windows := " +
                                                            std::to_string(imagesPerWindow.size()) + "\n");
    for (int n : imagesPerWindow)
        text += "!Gated Study (each time window) :=\n!number of images in time window := " + std::to_string(n) +
                "\n!image duration (sec) := 0.1\nframing type := " + framing + "\n";
    return text + "!END OF INTERFILE :=\n";
}

std::string tomoStudy(int projections, const std::string &more = "") {
    return generalImageData("Tomographic", projections,
                            "!SPECT STUDY (general) :=\nnumber of detector heads := 1\n!process status := Acquired\n" +
                                kMatrix + "!number of projections := " + std::to_string(projections) +
                                "\n!extent of rotation := 360\n!time per projection (sec) := 20.9999\n"
                                "!SPECT STUDY (acquired data) :=\n!direction of rotation := ccw\nstart angle := 90\n"
                                "acquisition mode := continuous\nCentre_of_rotation := Single_value\n"
                                "!X_offset := 0\nRadius := 200\n" + more + "!END OF INTERFILE :=\n");
}

std::string gspectStudy(const std::string &outer, bool reconstructed = false) {
    std::string text = generalImageData("GSPECT", 6, "!GATED SPECT STUDY (general) :=\n" + kMatrix +
                                                         "!Gated SPECT nesting outer level := " + outer + "\n"
                                                         "number of time windows := 1\n"
                                                         "!Gated Study (each time window) :=\n"
                                                         "!number of images in time window := 2\n"
                                                         "framing type := mixed\n"
                                                         "number of detector heads := 1\n");
    if (reconstructed)
        text += "!process status := Reconstructed\n!number of projections := 60\n!SPECT STUDY (reconstructed data) :=\n"
                "!number of slices := 3\nslice thickness (pixels) := 2\n";
    else
        text += "!process status := Acquired\n!number of projections := 3\n!extent of rotation := 180\n"
                "!SPECT STUDY (acquired data) :=\nacquisition mode := stepped\n";
    return text + "!END OF INTERFILE :=\n";
}

std::string reconStudy(int slices) {
    return generalImageData("Tomographic", slices,
                            "!SPECT STUDY (general) :=\n!process status := Reconstructed\n" + kMatrix +
                                "!number of projections := 64\n!extent of rotation := 360\n"
                                "!SPECT STUDY (reconstructed data) :=\n!number of slices := " +
                                std::to_string(slices) +
                                "\nslice thickness (pixels) := 2\nattenuation correction coefficient/cm := 0.12\n"
                                "!END OF INTERFILE :=\n");
}

class Vectors : public ConvertTest {
protected:
    V vector(uint16_t element) const { return wordsOf(value(0x0054, element)); }
    V pointers() const { return wordsOf(value(0x0028, 0x0009)); }
    // Which of the nine vectors the object holds.
    V present() const {
        V out;
        for (uint16_t e : {0x0010, 0x0020, 0x0030, 0x0050, 0x0060, 0x0070, 0x0080, 0x0090, 0x0100})
            if (value(0x0054, e)) out.push_back(e);
        return out;
    }
};

TEST_F(Vectors, StaticNumbersEnergyWindowsAndOneDetector) {
    std::string text = generalImageData("Static", 5, "number of energy windows := 2\n");
    int image = 0;
    for (int w = 1; w <= 2; ++w) {
        text += "energy window [" + std::to_string(w) + "] := W\n!STATIC STUDY (General) :=\n"
                "number of images/energy window := " + std::to_string(w == 1 ? 3 : 2) + "\n";
        for (int i = 0; i < (w == 1 ? 3 : 2); ++i)
            text += "!Static Study (each frame) :=\n!image number := " + std::to_string(++image) + "\n" + kMatrix;
    }
    ASSERT_EQ(convert(text + "!END OF INTERFILE :=\n"), 0);
    EXPECT_EQ(pointers(), (V{0x0054, 0x0010, 0x0054, 0x0020}));
    EXPECT_EQ(vector(0x0010), (V{1, 1, 1, 2, 2}));
    EXPECT_EQ(vector(0x0020), (V{1, 1, 1, 1, 1}));
    EXPECT_EQ(present(), (V{0x0010, 0x0020}));
    EXPECT_EQ(us(0x0054, 0x0011), 2);
    EXPECT_EQ(us(0x0054, 0x0021), 1);
    for (uint16_t e : {0x0031, 0x0051, 0x0061, 0x0071, 0x0081}) EXPECT_FALSE(value(0x0054, e)) << e;
    for (uint16_t e : {0x0032, 0x0052, 0x0062}) EXPECT_FALSE(value(0x0054, e)) << e;
}

TEST_F(Vectors, DynamicNumbersPhasesAcrossEnergyWindows) {
    ASSERT_EQ(convert(dynamicStudy({{2, 3}})), 0);
    EXPECT_EQ(pointers(), (V{0x0054, 0x0010, 0x0054, 0x0020, 0x0054, 0x0030, 0x0054, 0x0100}));
    EXPECT_EQ(vector(0x0030), (V{1, 1, 2, 2, 2}));
    EXPECT_EQ(vector(0x0100), (V{1, 2, 1, 2, 3}));
    EXPECT_EQ(present(), (V{0x0010, 0x0020, 0x0030, 0x0100}));
    EXPECT_EQ(us(0x0054, 0x0031), 2);

    // Phase Information Sequence: one item per frame group.
    std::vector<const DicomElement *> items = itemsOf(top(0x0054, 0x0032));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(itemText(items[0], 0x0018, 0x1242), "2000");
    EXPECT_EQ(itemText(items[1], 0x0018, 0x1242), "500");  // 0.5 seconds
    EXPECT_EQ(itemText(items[1], 0x0054, 0x0036), "2500");
    EXPECT_EQ(itemText(items[0], 0x0054, 0x0038), "0");  // the definition's default 0.0
    EXPECT_EQ(wordsOf(bytesOf(childOf(items[0], 0x0054, 0x0033))), (V{2}));
    EXPECT_EQ(wordsOf(bytesOf(childOf(items[1], 0x0054, 0x0033))), (V{3}));
    EXPECT_EQ(wordsOf(bytesOf(childOf(items[1], 0x0054, 0x0211))), (V{0}));
    EXPECT_FALSE(value(0x0018, 0x1242).has_value());  // top-level duration is for static studies

    // Two energy windows: the frame groups go on numbering in the second window.
    ASSERT_EQ(convert(dynamicStudy({{2, 1}, {1, 1}})), 0);
    EXPECT_EQ(vector(0x0010), (V{1, 1, 1, 2, 2}));
    EXPECT_EQ(vector(0x0030), (V{1, 1, 2, 3, 4}));
    EXPECT_EQ(vector(0x0100), (V{1, 2, 1, 1, 1}));
}

TEST_F(Vectors, EveryPhaseTakesTheDefaultOfAKeyItsFrameGroupLacks) {
    // No frame group gives "pause between images (sec)": each phase gets its default 0, the
    // later groups (copies of the first) as well as the first.
    ASSERT_EQ(convert(dynamicStudy({{1, 1, 1}})), 0);
    std::vector<const DicomElement *> items = itemsOf(top(0x0054, 0x0032));
    ASSERT_EQ(items.size(), 3u);
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(itemText(items[i], 0x0054, 0x0038), "0") << i;
}

TEST_F(Vectors, GatedNumbersIntervalsAndTimeSlots) {
    ASSERT_EQ(convert(gatedStudy({4})), 0);
    EXPECT_EQ(pointers(), (V{0x0054, 0x0010, 0x0054, 0x0020, 0x0054, 0x0060, 0x0054, 0x0070}));
    EXPECT_EQ(vector(0x0060), (V{1, 1, 1, 1}));
    EXPECT_EQ(vector(0x0070), (V{1, 2, 3, 4}));
    EXPECT_EQ(us(0x0054, 0x0061), 1);
    EXPECT_EQ(us(0x0054, 0x0071), 4);
    std::vector<const DicomElement *> items = itemsOf(top(0x0054, 0x0062));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(itemText(items[0], 0x0018, 0x1064), "forward");
    const DicomElement *data = childOf(items[0], 0x0054, 0x0063);
    ASSERT_NE(data, nullptr);
    EXPECT_TRUE(itemsOf(data).empty());

    ASSERT_EQ(convert(gatedStudy({3, 2}, "Backward")), 0);
    EXPECT_EQ(vector(0x0060), (V{1, 1, 1, 2, 2}));
    EXPECT_EQ(vector(0x0070), (V{1, 2, 3, 1, 2}));
    items = itemsOf(top(0x0054, 0x0062));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(itemText(items[1], 0x0018, 0x1064), "backward");

    // A framing type outside the three gives no Cardiac Framing Type.
    ASSERT_EQ(convert(gatedStudy({2}, "sideways")), 0);
    EXPECT_EQ(childOf(itemsOf(top(0x0054, 0x0062)).at(0), 0x0018, 0x1064), nullptr);
}

TEST_F(Vectors, TomoNumbersAngularViewsAndDescribesTheRotation) {
    ASSERT_EQ(convert(tomoStudy(64)), 0);
    EXPECT_EQ(pointers(), (V{0x0054, 0x0010, 0x0054, 0x0020, 0x0054, 0x0050, 0x0054, 0x0090}));
    V views(64);
    for (int i = 0; i < 64; ++i) views[i] = static_cast<uint16_t>(i + 1);
    EXPECT_EQ(vector(0x0090), views);
    EXPECT_EQ(vector(0x0050), V(64, 1));
    EXPECT_EQ(vector(0x0020), V(64, 1));
    EXPECT_EQ(us(0x0054, 0x0051), 1);
    EXPECT_EQ(text(0x0054, 0x0202), "CONTINUOUS");

    std::vector<const DicomElement *> items = itemsOf(top(0x0054, 0x0052));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(itemText(items[0], 0x0054, 0x0200), "90.000000");
    EXPECT_EQ(itemText(items[0], 0x0018, 0x1144), "5.625000");
    EXPECT_EQ(itemText(items[0], 0x0018, 0x1140), "CC");
    EXPECT_EQ(itemText(items[0], 0x0018, 0x1143), "360.000000");
    EXPECT_EQ(itemText(items[0], 0x0018, 0x1242), "20999");  // truncated, not rounded
    EXPECT_EQ(childOf(items[0], 0x0018, 0x1142), nullptr);    // no Radial Position for TOMO
    // Number of Frames in Rotation counts the angular views, as readers of the object take it.
    EXPECT_EQ(wordsOf(bytesOf(childOf(items[0], 0x0054, 0x0053))), (V{64}));

    // No projections, so no images: nothing to convert.
    EXPECT_EQ(convert(tomoStudy(0)), -1);
}

TEST_F(Vectors, GatedTomoFollowsTheNestingOuterLevel) {
    ASSERT_EQ(convert(gspectStudy("Gated")), 0);
    EXPECT_EQ(pointers(), (V{0x0054, 0x0010, 0x0054, 0x0020, 0x0054, 0x0050, 0x0054, 0x0060, 0x0054, 0x0070,
                             0x0054, 0x0090}));
    EXPECT_EQ(vector(0x0070), (V{1, 1, 1, 2, 2, 2}));
    EXPECT_EQ(vector(0x0090), (V{1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(vector(0x0060), V(6, 1));
    EXPECT_EQ(vector(0x0020), V(6, 1));
    EXPECT_EQ(us(0x0054, 0x0071), 2);
    EXPECT_EQ(text(0x0054, 0x0202), "STEP AND SHOOT");
    EXPECT_EQ(itemText(itemsOf(top(0x0054, 0x0062)).at(0), 0x0018, 0x1064), "forward/backward");
    ASSERT_EQ(itemsOf(top(0x0054, 0x0052)).size(), 1u);
    EXPECT_EQ(wordsOf(bytesOf(childOf(itemsOf(top(0x0054, 0x0052))[0], 0x0054, 0x0053))), (V{3}));

    ASSERT_EQ(convert(gspectStudy("SPECT")), 0);
    EXPECT_EQ(vector(0x0070), (V{1, 2, 1, 2, 1, 2}));
    EXPECT_EQ(vector(0x0090), (V{1, 1, 2, 2, 3, 3}));
}

TEST_F(Vectors, ReconstructedDataHasOnlySlices) {
    ASSERT_EQ(convert(reconStudy(64)), 0);
    EXPECT_EQ(pointers(), (V{0x0054, 0x0080}));
    EXPECT_EQ(present(), (V{0x0080}));
    V slices(64);
    for (int i = 0; i < 64; ++i) slices[i] = static_cast<uint16_t>(i + 1);
    EXPECT_EQ(vector(0x0080), slices);
    EXPECT_EQ(us(0x0054, 0x0081), 64);
    EXPECT_EQ(us(0x0054, 0x0051), 1);  // one rotation, though there is no Rotation Vector
    EXPECT_EQ(us(0x0054, 0x0011), 1);
    EXPECT_EQ(us(0x0054, 0x0021), 1);
    EXPECT_EQ(text(0x0020, 0x1002), "64");
    EXPECT_EQ(value(0x0018, 0x0088), "");
    EXPECT_EQ(text(0x0018, 0x0050), "8.000000");  // 2 pixels of 4 mm
    EXPECT_EQ(text(0x0028, 0x0051), "UNIF\\ATTN");
    std::vector<const DicomElement *> items = itemsOf(top(0x0054, 0x0052));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(itemText(items[0], 0x0018, 0x1140), "CW");  // the definition's default

    ASSERT_EQ(convert(gspectStudy("Gated", true)), 0);
    EXPECT_EQ(pointers(), (V{0x0054, 0x0060, 0x0054, 0x0070, 0x0054, 0x0080}));
    EXPECT_EQ(vector(0x0080), (V{1, 2, 3, 1, 2, 3}));
    EXPECT_EQ(vector(0x0070), (V{1, 1, 1, 2, 2, 2}));
    EXPECT_EQ(vector(0x0060), V(6, 1));
    EXPECT_EQ(present(), (V{0x0060, 0x0070, 0x0080}));
}

// The walk never writes past the frames of "total number of images"; frames the walk does not
// reach stay 0.
TEST_F(Vectors, VectorsHoldExactlyTheFrameCount) {
    InterfileHeader *hdr = header(reconStudy(64));
    ASSERT_NE(hdr, nullptr);
    ConversionContext context{};
    std::strcpy(context.imageType[2], "RECON TOMO");
    FrameVectors vectors{};
    context.frameCount = 10;
    EXPECT_EQ(buildFrameVectors(hdr, &vectors, &context), 10);
    EXPECT_EQ(vectors.count, 10);
    ASSERT_NE(vectors.slice, nullptr);
    EXPECT_EQ(vectors.slice[10], 10);
    EXPECT_EQ(vectors.energyWindow, nullptr);
    std::free(vectors.slice);

    vectors = FrameVectors{};
    context.frameCount = 70;
    EXPECT_EQ(buildFrameVectors(hdr, &vectors, &context), 64);
    EXPECT_EQ(vectors.slice[64], 64);
    // The frames the counts miss repeat the last counted entry: no vector holds index 0.
    EXPECT_EQ(vectors.slice[65], 64);
    EXPECT_EQ(vectors.slice[70], 64);
    std::free(vectors.slice);

    vectors = FrameVectors{};
    std::strcpy(context.imageType[2], "CAPTURED");  // no study type: nothing allocated
    EXPECT_EQ(buildFrameVectors(hdr, &vectors, &context), 0);
    EXPECT_EQ(vectors.slice, nullptr);

    // Counts that describe far more frames than the study has are cut at its frames.
    std::string text = reconStudy(64);
    text.replace(text.find("!total number of images := 64"), 29, "!total number of images := 3");
    ASSERT_EQ(convert(text), 0);
    EXPECT_EQ(vector(0x0080), (V{1, 2, 3}));
}

// Counts whose loops would run a billion steps without ever reaching a frame: the walk gives up
// after a bounded number of steps, and the conversion finishes.
TEST_F(Vectors, HostileCountsDoNotKeepTheWalkBusy) {
    std::string text = generalImageData("GSPECT", 4, "!GATED SPECT STUDY (general) :=\n" + kMatrix +
                                                         "!Gated SPECT nesting outer level := SPECT\n"
                                                         "number of time windows := 32767\n"
                                                         "!Gated Study (each time window) :=\n"
                                                         "!number of images in time window := 0\n"
                                                         "number of detector heads := 32767\n"
                                                         "!process status := Acquired\n"
                                                         "!number of projections := 32767\n");
    ASSERT_EQ(convert(text + "!END OF INTERFILE :=\n"), 0);
    EXPECT_EQ(vector(0x0070), V(4, 1));  // no frame was reached: index 1, never 0
}

TEST_F(Vectors, CountsAccumulatedSumsStaticCountsBeyond16Bits) {
    std::string text = generalImageData("Static", 2, "number of energy windows := 1\n!STATIC STUDY (General) :=\n"
                                                     "number of images/energy window := 2\n");
    for (const char *counts : {"40000", "50000"})
        text += "!Static Study (each frame) :=\n" + kMatrix + "total counts := " + counts + "\n";
    ASSERT_EQ(convert(text + "!END OF INTERFILE :=\n"), 0);
    EXPECT_EQ(this->text(0x0018, 0x0070), "90000");

    // Counts of 2^31 and more per image still add up.
    text = generalImageData("Static", 2, "number of energy windows := 1\n!STATIC STUDY (General) :=\n"
                                         "number of images/energy window := 2\n");
    for (const char *counts : {"2000000000", "2000000000"})
        text += "!Static Study (each frame) :=\n" + kMatrix + "total counts := " + counts + "\n";
    ASSERT_EQ(convert(text + "!END OF INTERFILE :=\n"), 0);
    EXPECT_EQ(this->text(0x0018, 0x0070), "4000000000");

    // No counts at all: the element is there, empty; other study types get it empty too.
    ASSERT_EQ(convert(reconStudy(2)), 0);
    EXPECT_EQ(value(0x0018, 0x0070), "");
}

}  // namespace
}  // namespace convert_test
