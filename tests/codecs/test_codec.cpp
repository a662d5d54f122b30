// The codec registry, codec map files and the loading of external codec libraries.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dicom/test_writer_helpers.h"
#include "velmar/codecs.h"

using writer_test::TempDir;
using writer_test::writeFile;

namespace {

int releases = 0;
int16_t countRelease(void *) {
    ++releases;
    return 0;
}

Codec codecOf(const char *library, const char *uid, bool coder,
              int16_t (*process)(KernelPrivate *, FrameBuffer *) = nullptr) {
    Codec codec{};
    std::strcpy(codec.libraryName, library);
    std::strcpy(codec.kind, coder ? "coder" : "decoder");
    std::strcpy(codec.transferSyntaxUID, uid);
    codec.isCoder = coder ? 1 : 0;
    codec.process = process;
    return codec;
}

int16_t first(KernelPrivate *, FrameBuffer *) {
    return 1;
}
int16_t second(KernelPrivate *, FrameBuffer *) {
    return 2;
}

class RegistryTest : public ::testing::Test {
   protected:
    AppData app{};
    void SetUp() override { ASSERT_EQ(init_AppData(&app, "t", "1", nullptr), 0); }
    void TearDown() override { done_AppData(&app); }
    Codec *find(const char *uid, int16_t coder) { return get_codec(app.codecCount, app.codecs, uid, coder); }
};

TEST_F(RegistryTest, BuiltInLibrariesRegisterTheirCodecs) {
    ASSERT_EQ(native_LibraryInit(&app), 0);
    for (const char *uid : {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"}) {
        ASSERT_NE(find(uid, 1), nullptr) << uid;
        EXPECT_EQ(find(uid, 1)->isCoder, 1);
        EXPECT_STREQ(find(uid, 1)->kind, "coder");
        ASSERT_NE(find(uid, 0), nullptr) << uid;
        EXPECT_STREQ(find(uid, 0)->libraryName, "native");
    }
    EXPECT_EQ(find("4.4.4.4.4.4.4.4.4.1", 1), nullptr);
    EXPECT_EQ(find("Interfile.Little.Endian", 0), nullptr);

    ASSERT_EQ(interfile_LibraryInit(&app), 0);
    EXPECT_NE(find("Interfile.Little.Endian", 0), nullptr);
    EXPECT_NE(find("interfile.big.endian", 0), nullptr);  // lookups ignore letter case
    EXPECT_EQ(find("Interfile.Big.Endian", 1), nullptr);  // no Interfile coder
    EXPECT_EQ(isLibraryLoaded(&app, "NATIVE"), 1);
    EXPECT_EQ(isLibraryLoaded(&app, "interfile"), 2);
    EXPECT_EQ(isLibraryLoaded(&app, "png"), 0);
    EXPECT_EQ(isLibraryLoaded(&app, nullptr), 0);
    ASSERT_NE(get_codeclib(app.codecLibraryCount, app.codecLibraries, "Interfile"), nullptr);
    EXPECT_EQ(get_codeclib(app.codecLibraryCount, app.codecLibraries, "Interfile")->privateData, nullptr);

    // Registering "native" again replaces the library and adds six codecs; the newer ones win.
    Codec *before = find("1.2.840.10008.1.2.1", 1);
    ASSERT_EQ(native_LibraryInit(&app), 0);
    EXPECT_EQ(app.codecCount, 14);
    EXPECT_EQ(app.codecLibraryCount, 2);
    EXPECT_NE(find("1.2.840.10008.1.2.1", 1), before);
}

TEST_F(RegistryTest, LatestRegistrationWinsAndDirectionIsRespected) {
    Codec a = codecOf("one", "1.2.3", true, first);
    Codec b = codecOf("two", "1.2.3", true, second);
    Codec d = codecOf("one", "1.2.3", false, first);
    ASSERT_EQ(registerCodec(&app, &d), 0);
    ASSERT_EQ(registerCodec(&app, &a), 0);
    ASSERT_EQ(registerCodec(&app, &b), 0);
    ASSERT_NE(find("1.2.3", 1), nullptr);
    EXPECT_EQ(find("1.2.3", 1)->process(nullptr, nullptr), 2);
    EXPECT_EQ(find("1.2.3", 0)->isCoder, 0);
    EXPECT_STREQ(find("1.2.3", 0)->libraryName, "one");
    EXPECT_EQ(find("1.2.3.4", 1), nullptr);
    EXPECT_EQ(get_codec(0, nullptr, "1.2.3", 1), nullptr);
    EXPECT_EQ(registerCodec(&app, nullptr), 0);
    EXPECT_EQ(app.codecCount, 3);
}

TEST_F(RegistryTest, ReplacingALibraryReleasesTheOldRecord) {
    releases = 0;
    CodecLibrary lib{};
    std::strcpy(lib.libraryName, "png");
    lib.release = countRelease;
    int one = 1, two = 2;
    lib.privateData = &one;
    ASSERT_EQ(registerCodecLibrary(&app, &lib), 0);
    lib.privateData = &two;
    ASSERT_EQ(registerCodecLibrary(&app, &lib), 0);
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(app.codecLibraryCount, 1);
    EXPECT_EQ(app.codecLibraries[0]->privateData, &two);
    // A name differing in letter case is another library (replacement compares exactly).
    std::strcpy(lib.libraryName, "PNG");
    ASSERT_EQ(registerCodecLibrary(&app, &lib), 0);
    EXPECT_EQ(app.codecLibraryCount, 2);
    EXPECT_EQ(registerCodecLibrary(&app, nullptr), 0);
    done_CodecLibraryRegistry(&app);
    EXPECT_EQ(releases, 3);
    EXPECT_EQ(app.codecLibraryCount, 0);
    EXPECT_EQ(app.codecLibraries, nullptr);
}

TEST_F(RegistryTest, UnregisteringEmptiesSlotsThatLaterRegistrationsReuse) {
    ASSERT_EQ(native_LibraryInit(&app), 0);
    ASSERT_EQ(interfile_LibraryInit(&app), 0);
    ASSERT_EQ(UnregisterCodecLibrary(&app, "native"), 0);
    int empty = 0;
    for (uint16_t i = 0; i < app.codecCount; ++i) empty += app.codecs[i] == nullptr;
    EXPECT_EQ(empty, 6);
    EXPECT_EQ(app.codecCount, 8);
    EXPECT_EQ(find("1.2.840.10008.1.2", 1), nullptr);
    EXPECT_EQ(isLibraryLoaded(&app, "native"), 0);
    EXPECT_NE(find("Interfile.Little.Endian", 0), nullptr);
    Codec c = codecOf("other", "1.2.3", true);
    ASSERT_EQ(registerCodec(&app, &c), 0);
    EXPECT_EQ(app.codecCount, 8);
    EXPECT_EQ(app.codecs[0], find("1.2.3", 1));
    EXPECT_EQ(UnregisterCodecLibrary(&app, nullptr), 0);

    // UnregisterCodec removes the codecs of one library, syntax and direction only.
    ASSERT_EQ(native_LibraryInit(&app), 0);
    Codec coder = codecOf("native", "1.2.840.10008.1.2.2", true);
    EXPECT_EQ(UnregisterCodec(&app, &coder), 1);
    EXPECT_EQ(find("1.2.840.10008.1.2.2", 1), nullptr);
    EXPECT_NE(find("1.2.840.10008.1.2.2", 0), nullptr);
    EXPECT_NE(find("1.2.840.10008.1.2.1", 1), nullptr);
}

TEST(CodecLists, GrowAndFree) {
    DynLibList libs;
    ASSERT_EQ(initDynLibList(&libs), &libs);
    EXPECT_EQ(libs.count, 0);
    ASSERT_EQ(addDynLibToList(&libs, "jpegls", "/opt/codecs/jpegls.so"), 0);
    ASSERT_EQ(addDynLibToList(&libs, "xor", nullptr), 0);
    EXPECT_EQ(libs.count, 2);
    EXPECT_STREQ(libs.names[1], "xor");
    EXPECT_STREQ(libs.paths[0], "/opt/codecs/jpegls.so");
    EXPECT_STREQ(libs.paths[1], "");
    freeDynLibList(&libs);
    EXPECT_EQ(libs.count, 0);
    EXPECT_EQ(libs.names, nullptr);

    StringList texts;
    initStringList(&texts);
    for (const char *t : {"a", "bb", "ccc"}) ASSERT_EQ(addStringToList(&texts, t), 0);
    EXPECT_EQ(texts.count, 3);
    EXPECT_STREQ(texts.texts[2], "ccc");
    freeStringList(&texts);
    EXPECT_EQ(texts.count, 0);
    EXPECT_EQ(addStringToList(nullptr, "x"), -1);
}

// ---- Codec maps ---------------------------------------------------------------------------

class CodecMapTest : public ::testing::Test {
   protected:
    TempDir dir;
    CodecMap map{};
    void SetUp() override { initCodecMap(&map); }
    void TearDown() override { freeCodecMap(&map); }
    std::string file(const std::string &name, const std::string &text) {
        std::string path = dir.file(name);
        writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
        return path;
    }
};

TEST_F(CodecMapTest, EntriesUntilTheFirstLineThatIsNotOne) {
    std::string path = file("a.map",
                            "# UID name library note\n"
                            "1.2.840.10008.1.2.5 RLE rlelib lossless extra words\n"
                            "#comment between\n"
                            "\t4.4.4.4.4.4.4.4.4.1\tpng  builtin -\r\n"
                            " #1 looks like a comment but is data\n"
                            "\n"
                            "1.2.3 hidden lib note\n");
    ASSERT_EQ(loadCodecMapFile(&map, path.c_str()), 0);
    ASSERT_EQ(map.count, 3);
    EXPECT_STREQ(map.entries[0]->note, "lossless");
    EXPECT_STREQ(getLibForUID(&map, "1.2.840.10008.1.2.5"), "rlelib");
    EXPECT_STREQ(getNameForUID(&map, "4.4.4.4.4.4.4.4.4.1"), "png");
    EXPECT_STREQ(getUIDForName(&map, "rle"), "1.2.840.10008.1.2.5");  // names ignore letter case
    EXPECT_STREQ(getLibForName(&map, "PNG"), "builtin");
    EXPECT_STREQ(map.entries[2]->uid, "#1");
    EXPECT_EQ(getLibForUID(&map, "1.2.3"), nullptr);  // after the blank line
    EXPECT_EQ(getNameForUID(nullptr, "1.2.3"), nullptr);
}

TEST_F(CodecMapTest, MalformedFirstLineMissingAndEmptyFiles) {
    ASSERT_EQ(loadCodecMapFile(&map, file("three.map", "1.2.3 name lib\n1.2.4 a b c\n").c_str()), 0);
    EXPECT_EQ(map.count, 0);
    EXPECT_EQ(loadCodecMapFile(&map, dir.file("absent.map").c_str()), -1);
    EXPECT_EQ(loadCodecMapFile(&map, file("comments.map", "# only\n# comments\n").c_str()), -2);
    EXPECT_EQ(loadCodecMapFile(&map, file("empty.map", "").c_str()), -2);
    // A word longer than 127 characters is cut, never overflows.
    std::string longWord(300, 'u');
    ASSERT_EQ(loadCodecMapFile(&map, file("long.map", longWord + " n l x\n").c_str()), 0);
    ASSERT_EQ(map.count, 1);
    EXPECT_EQ(std::strlen(map.entries[0]->uid), 127u);
    EXPECT_EQ(addCodecToCodecMap(nullptr, "a", "b", "c", "d"), -1);
}

TEST_F(CodecMapTest, DefaultMapComesBeforeTheUserMap) {
    TempDir user;
    file("defcodec.map", "1.2.840.10008.1.2.5 rle-default deflib -\n");
    writeFile(user.file("usrcodec.map"), std::vector<uint8_t>{});  // replaced below
    std::string userText = "1.2.840.10008.1.2.5 rle-user userlib -\n9.8.7 extra extralib -\n";
    writeFile(user.file("usrcodec.map"), std::vector<uint8_t>(userText.begin(), userText.end()));
    const char *oldDef = std::getenv("VELMAR_DEF_PATH");
    std::string savedDef = oldDef != nullptr ? oldDef : "";
    setenv("VELMAR_DEF_PATH", dir.path.c_str(), 1);
    setenv("VELMAR_USER_CODEC_PATH", user.path.c_str(), 1);
    EXPECT_EQ(loadCodecMap(&map), 0);
    EXPECT_EQ(map.count, 3);
    EXPECT_STREQ(getNameForUID(&map, "1.2.840.10008.1.2.5"), "rle-default");
    EXPECT_STREQ(getLibForName(&map, "extra"), "extralib");
    unsetenv("VELMAR_USER_CODEC_PATH");
    if (oldDef != nullptr)
        setenv("VELMAR_DEF_PATH", savedDef.c_str(), 1);
    else
        unsetenv("VELMAR_DEF_PATH");
}

// A library named by a relative path lies beside its map; a map that another user could change,
// or that is no regular file, is not read.
TEST_F(CodecMapTest, RelativeLibrariesAndMapsThatOthersCanChange) {
    std::string path =
        file("rel.map", "1.2.3 rel sub/librel.so -\n4.5.6 bare libbare.so -\n7.8.9 abs /opt/x.so -\n");
    ASSERT_EQ(loadCodecMapFile(&map, path.c_str()), 0);
    EXPECT_EQ(std::string(getLibForName(&map, "rel")), dir.file("sub/librel.so"));
    EXPECT_STREQ(getLibForName(&map, "bare"), "libbare.so");  // for the loader's search
    EXPECT_STREQ(getLibForName(&map, "abs"), "/opt/x.so");
    freeCodecMap(&map);
    ASSERT_EQ(chmod(path.c_str(), 0664), 0);
    EXPECT_EQ(loadCodecMapFile(&map, path.c_str()), -5);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    if (geteuid() == 0) {  // only root can give a file away
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        EXPECT_EQ(loadCodecMapFile(&map, path.c_str()), -5);
    }
    EXPECT_EQ(map.count, 0);
    ASSERT_EQ(mkfifo(dir.file("fifo.map").c_str(), 0600), 0);
    EXPECT_EQ(loadCodecMapFile(&map, dir.file("fifo.map").c_str()), -1);  // at once, not blocked
    EXPECT_EQ(loadCodecMapFile(&map, dir.path.c_str()), -1);
}

TEST(ShippedCodecMap, NamesTheBuiltInSyntaxes) {
    std::string path = std::string(VELMAR_SHARE_DIR) + "/defcodec.map";
    CodecMap map;
    initCodecMap(&map);
    ASSERT_EQ(loadCodecMapFile(&map, path.c_str()), 0);
    EXPECT_STREQ(getNameForUID(&map, "4.4.4.4.4.4.4.4.4.1"), "png");
    EXPECT_STREQ(getLibForName(&map, "png"), "builtin");
    for (const char *uid : {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"})
        EXPECT_STREQ(getLibForUID(&map, uid), "builtin") << uid;
    freeCodecMap(&map);
}

// ---- External codec libraries ---------------------------------------------------------------

class DynamicTest : public ::testing::Test {
   protected:
    AppData app{};
    CodecMap map{};
    void SetUp() override {
        init_AppData(&app, "t", "1", nullptr);
        initCodecMap(&map);
        addCodecToCodecMap(&map, "9.9.9.9.9.9.9.9.9.1", "xor", "velmar_testcodec", "-");
        addCodecToCodecMap(&map, "4.4.4.4.4.4.4.4.4.1", "png", "builtin", "-");
        addCodecToCodecMap(&map, "1.2.840.10008.1.2.1", "explicit", "builtin", "-");
        addCodecToCodecMap(&map, "1.2.3.999", "nowhere", "no_such_codec_library", "-");
        addCodecToCodecMap(&map, "1.2.3.998", "notacodec", "libm.so.6", "-");
    }
    void TearDown() override {
        freeCodecMap(&map);
        done_AppData(&app);
    }
    int32_t load(std::vector<const char *> names, std::vector<const char *> options, const char *directory) {
        return init_DynamicCodecLibraries(&app, &map, names.data(), options.data(),
                                          static_cast<int32_t>(names.size()), directory);
    }
};

TEST_F(DynamicTest, ResultCodes) {
    EXPECT_EQ(load({"explicit"}, {nullptr}, nullptr), 0);  // built in: nothing loaded
    EXPECT_EQ(app.codecLibraryCount, 0);
    EXPECT_EQ(load({"explicit", nullptr}, {nullptr, nullptr}, nullptr), 1);
    EXPECT_EQ(load({"explicit", "unknown"}, {nullptr, nullptr}, nullptr), 1001);
    EXPECT_EQ(load({"explicit", "explicit", "nowhere"}, {nullptr, nullptr, nullptr}, nullptr), 2002);
    EXPECT_EQ(load({"nowhere"}, {nullptr}, VELMAR_TEST_CODEC_DIR), 3000);
    EXPECT_EQ(load({"notacodec"}, {nullptr}, nullptr), 2000);  // loads, but has no LibraryInit
    // The plain name is not on the loader's path: found in the retry directory, with ".so".
    EXPECT_EQ(load({"xor"}, {"fail"}, VELMAR_TEST_CODEC_DIR), 4000);
    EXPECT_EQ(load({"xor"}, {nullptr}, nullptr), 2000);
    EXPECT_EQ(isLibraryLoaded(&app, "xorcodec"), 0);
    EXPECT_EQ(load({"explicit", "xor"}, {nullptr, "key=7"}, VELMAR_TEST_CODEC_DIR), 0);
    EXPECT_EQ(isLibraryLoaded(&app, "xorcodec"), 1);
    EXPECT_NE(get_codec(app.codecCount, app.codecs, "9.9.9.9.9.9.9.9.9.1", 1), nullptr);
    EXPECT_NE(get_codec(app.codecCount, app.codecs, "9.9.9.9.9.9.9.9.9.1", 0), nullptr);
    // Named in the map by the name it registers under, it is not loaded a second time.
    uint16_t codecs = app.codecCount;
    addCodecToCodecMap(&map, "9.9.9.9.9.9.9.9.9.2", "xor2", "xorcodec", "-");
    EXPECT_EQ(load({"xor2"}, {nullptr}, nullptr), 0);
    EXPECT_EQ(app.codecCount, codecs);
}

// A codec library file that another user could change is not loaded, and the log says why.
TEST_F(DynamicTest, LibraryThatOthersCanChangeIsRefused) {
    TempDir dir;
    std::string copy = dir.file("xor.so"), log = dir.file("dyn.log");
    std::ifstream in(VELMAR_TEST_CODEC_PATH, std::ios::binary);
    std::ofstream(copy, std::ios::binary) << in.rdbuf();
    ASSERT_EQ(chmod(copy.c_str(), 0775), 0);
    app.log = log_start(&app, log.c_str(), "t", 0x03, 0, 0, nullptr);
    addCodecToCodecMap(&map, "9.9.9.9.9.9.9.9.9.3", "open", copy.c_str(), "-");
    EXPECT_EQ(load({"open"}, {nullptr}, nullptr), 2000);
    EXPECT_EQ(isLibraryLoaded(&app, "xorcodec"), 0);
    log_end(&app.log, &app);
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    EXPECT_NE(text.str().find("Codec library " + copy + " can be changed by another user: not loaded"),
              std::string::npos)
        << text.str();
    ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
    EXPECT_EQ(load({"open"}, {nullptr}, nullptr), 0);
}

TEST_F(DynamicTest, PngOptionsGoToTheRegisteredPngLibrary) {
    EXPECT_EQ(passCmdlineParametersToCodec(&app, "png", "c=9"), -1);  // not registered yet
    EXPECT_EQ(load({"png"}, {"c=9"}, nullptr), 0);                    // which is not an error here
    ASSERT_EQ(png_LibraryInit(&app), 0);
    EXPECT_EQ(load({"PNG"}, {"c=9,f=6"}, nullptr), 0);
    auto *options = static_cast<PNGOptions *>(
        get_codeclib(app.codecLibraryCount, app.codecLibraries, "png")->privateData);
    char *text = getPNGOptStr(options);
    EXPECT_STREQ(text, "m=0\tf=6\tc=9\ti=0");
    std::free(text);
    EXPECT_NE(passCmdlineParametersToCodec(&app, "png", "c=10"), 0);   // refused options are reported
    EXPECT_EQ(passCmdlineParametersToCodec(&app, "native", "x"), -1);  // no private data
}

TEST(DynLib, FunctionsAreFoundAndMissingOnesUnload) {
    void *module = reinterpret_cast<void *>(1);
    EXPECT_EQ(getDynLibFunc(VELMAR_TEST_CODEC_PATH, "NoSuchFunction", &module), nullptr);
    EXPECT_EQ(module, nullptr);
    EXPECT_EQ(getDynLibFunc("/no/such/library.so", "LibraryInit", &module), nullptr);
    void *init = getDynLibFunc(VELMAR_TEST_CODEC_PATH, "LibraryInit", &module);
    EXPECT_NE(init, nullptr);
    EXPECT_NE(module, nullptr);
    freeDynLib(module);
    freeDynLib(nullptr);
}

}  // namespace
