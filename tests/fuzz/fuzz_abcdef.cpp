// Fuzz target of the IOD and module definition loaders: the input is, in turn, ab_tab.def,
// ab2_tab.def, c_tab.def and c2_tab.def, beside the Nuclear Medicine Image IOD ("A.5") and its
// module records taken from the shipped definitions (found through VELMAR_DEF_PATH, like the
// attribute dictionary that resolves sequence paths). Every set that loads is checked link by
// link, bound to a small NM object, verified and bound again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "velmar.h"

namespace {

constexpr const char *kIodKey = "A.5";
const char *const kLoaderFiles[] = {"ab_tab.def", "ab2_tab.def", "c_tab.def", "c2_tab.def"};

[[noreturn]] void fail(const char *what) {
    std::fprintf(stderr, "fuzz_abcdef: %s\n", what);
    std::abort();
}

// ---- Files ----------------------------------------------------------------------------------

const std::string &fuzzDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/velmar_fuzz_abcdef_XXXXXX";
        const char *made = mkdtemp(pattern);
        if (made == nullptr) fail("no temporary directory");
        static std::string cleanup;
        cleanup = made;
        std::atexit([] {
            for (const char *name : kLoaderFiles) std::remove((cleanup + "/" + name).c_str());
            rmdir(cleanup.c_str());
        });
        return cleanup;
    }();
    return dir;
}

bool isLoaderFile(const char *name) {
    for (const char *file : kLoaderFiles)
        if (std::strcmp(name, file) == 0) return true;
    return false;
}

// The IOD and module files come from the fuzzing directory; every other definition file (the
// attribute dictionary) from VELMAR_DEF_PATH.
char *finder(const char *name, char *out, size_t size) {
    if (!isLoaderFile(name)) return getDICOMdeffilefromenvpath(name, out, size);
    std::snprintf(out, size, "%s/%s", fuzzDir().c_str(), name);
    if (access(out, R_OK) != 0) out[0] = '\0';
    return out;
}

void writeFile(const char *name, const void *data, size_t size) {
    std::string path = fuzzDir() + "/" + name;
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) fail("cannot write a definition file");
    if (size > 0) std::fwrite(data, 1, size, file);
    std::fclose(file);
}

void writeFile(const char *name, const std::string &text) {
    writeFile(name, text.data(), text.size());
}

void removeFile(const char *name) {
    std::remove((fuzzDir() + "/" + name).c_str());
}

std::string shippedFile(const char *name) {
    char path[512];
    if (getDICOMdeffilefromenvpath(name, path, sizeof path) == nullptr || path[0] == '\0')
        fail("shipped definition file not found (set VELMAR_DEF_PATH)");
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The records of a shipped definition file (each from a line starting with "{\"" to the line
// "}}") whose key, up to its first "_", is accepted by `keep`.
template <typename Keep>
std::string records(const std::string &text, Keep keep) {
    std::istringstream in(text);
    std::string line, out;
    bool copying = false;
    while (std::getline(in, line)) {
        if (line.rfind("{\"", 0) == 0) {
            std::string key = line.substr(2, line.find('"', 2) - 2);
            copying = keep(key.substr(0, key.find('_')));
        }
        if (copying) out += line + "\n";
        if (line == "}}") copying = false;
    }
    return out;
}

// The shipped NM Image IOD and the records of a few of its modules: those with sequences two
// deep and the overlay module (the others would only slow each run down).
const std::set<std::string> kFixedModules = {"C.7.1.1", "C.7.6.3", "C.8.4.9", "C.8.4.10", "C.9.2"};

struct FixedFiles {
    std::string iod;
    std::string modules;
};

const FixedFiles &fixedFiles() {
    static const FixedFiles files = [] {
        FixedFiles f;
        f.iod = records(shippedFile("ab_tab.def"), [](const std::string &key) { return key == kIodKey; });
        f.modules = records(shippedFile("c_tab.def"),
                            [](const std::string &key) { return kFixedModules.count(key) > 0; });
        if (f.iod.empty() || f.modules.empty()) fail("the shipped NM Image definitions are missing");
        return f;
    }();
    return files;
}

// ---- The context --------------------------------------------------------------------------

AppData &context() {
    static AppData *app = [] {
        if (std::getenv("VELMAR_DEF_PATH") == nullptr) setenv("VELMAR_DEF_PATH", VELMAR_SHARE_DIR, 1);
        auto *made = new AppData;
        if (init_AppData(made, "fuzz", "1", nullptr) != 0) fail("init_AppData");
        made->findDefFile = finder;
        if (InitTagDef(made, 0) != 0) fail("the shipped attribute dictionary does not load");
        return made;
    }();
    return *app;
}

// ---- A small NM object --------------------------------------------------------------------

void addText(AppData &app, DicomObject *obj, uint16_t group, uint16_t element, std::string value) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    DOU_defXVRTypeByTags(&app, group, element, &el.vr);
    if (value.size() % 2 != 0) value.push_back(el.vr == VR_UI ? '\0' : ' ');
    el.length = static_cast<uint32_t>(value.size());
    el.value = value.data();
    DO_addElement(&app, obj, &el);
}

void addWord(AppData &app, DicomObject *obj, uint16_t group, uint16_t element, uint16_t word) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    DOU_defXVRTypeByTags(&app, group, element, &el.vr);
    el.length = 2;
    el.value = &word;
    DO_addElement(&app, obj, &el);
}

void beginSequence(AppData &app, DicomObject *obj, uint16_t group, uint16_t element) {
    DicomElement el{};
    el.group = group;
    el.element = element;
    el.vr = VR_SQ;
    el.length = VELMAR_UNDEFINED_LENGTH;
    DO_addElement(&app, obj, &el);
}

// Elements at the top level, in sequences two deep, in overlay and curve groups and in a private
// group, so that binding meets every kind of entry.
DicomObject *nmObject(AppData &app) {
    DicomObject *obj = nullptr;
    if (DO_openObject(&obj) != 0) fail("DO_openObject");
    addText(app, obj, 0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.20");
    addText(app, obj, 0x0008, 0x0060, "NM");
    addText(app, obj, 0x0010, 0x0010, "Doe^John");
    beginSequence(app, obj, 0x0054, 0x0012);  // Energy Window Information, two items
    for (int item = 0; item < 2; ++item) {
        add_Item(&app, obj, VELMAR_UNDEFINED_LENGTH);
        beginSequence(app, obj, 0x0054, 0x0013);  // Energy Window Range
        add_Item(&app, obj, VELMAR_UNDEFINED_LENGTH);
        addText(app, obj, 0x0054, 0x0014, "126");
        addText(app, obj, 0x0054, 0x0015, "154");
        add_Item_Delimitation_Item(&app, obj);
        add_Sequence_Delimitation_Item(&app, obj);
        addText(app, obj, 0x0054, 0x0018, "Tc99m");
        add_Item_Delimitation_Item(&app, obj);
    }
    add_Sequence_Delimitation_Item(&app, obj);
    addWord(app, obj, 0x0028, 0x0010, 4);
    addWord(app, obj, 0x6000, 0x0010, 4);
    addWord(app, obj, 0x6002, 0x0010, 4);
    addWord(app, obj, 0x5000, 0x0005, 1);
    addText(app, obj, 0x0009, 0x0010, "FUZZ");
    addText(app, obj, 0x0009, 0x1001, "x");
    return obj;
}

// ---- Checks ---------------------------------------------------------------------------------

void checkEntries(const AttributeEntry *first, const AttributeEntry *last, const void *parent,
                  uint16_t inSequence, int depth) {
    if (depth > 64) fail("entries nest too deep");
    const AttributeEntry *prev = nullptr;
    for (const AttributeEntry *e = first; e != nullptr; prev = e, e = e->next) {
        if (e->prev != prev) fail("broken prev link");
        if (e->parent != parent || e->inSequence != inSequence) fail("wrong parent");
        if (e->name == nullptr || e->note == nullptr || std::strlen(e->type) > 3) fail("bad entry texts");
        checkEntries(e->firstChild, e->lastChild, e, 1, depth + 1);
    }
    if (prev != last) fail("broken last link");
}

void checkSet(const DicomObject *obj) {
    const ABDef *set = obj->boundDefinitions;
    if (set == nullptr) fail("a loaded set is missing");
    if (set->key == nullptr || set->name == nullptr || std::strcmp(set->key, kIodKey) != 0)
        fail("bad set key");
    const ModuleEntry *prev = nullptr;
    for (const ModuleEntry *m = set->firstModule; m != nullptr; prev = m, m = m->next) {
        if (m->prev != prev || m->owner != set) fail("broken module links");
        if (m->key == nullptr || m->name == nullptr || m->note == nullptr) fail("bad module texts");
        checkEntries(m->firstAttribute, m->lastAttribute, m, 0, 0);
    }
    if (prev != set->lastModule) fail("broken last module");
}

// Loads with the files in place; a set that loads is checked, bound, verified and rebound.
void load(int16_t primaryOnly) {
    AppData &app = context();
    DicomObject *obj = nmObject(app);
    if (InitABDef(&app, obj, primaryOnly, kIodKey) != 0) {
        if (obj->boundDefinitions != nullptr) fail("a failed IOD load kept a set");
    } else {
        checkSet(obj);
        if (InitCDef(&app, obj, primaryOnly) != 0) {
            if (obj->boundDefinitions != nullptr) fail("a failed module load kept a set");
        } else {
            checkSet(obj);
            BindABCDef(&app, obj);
            checkSet(obj);
            VerifyObjectByModule(&app, obj);
            RebindABCDef(&app, obj);
            checkSet(obj);
        }
    }
    DO_closeObject(&obj);
    if (obj != nullptr) fail("DO_closeObject left the object");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const FixedFiles &fixed = fixedFiles();
    context();

    // The input as the primary IOD file, with and without the secondary files.
    writeFile("ab_tab.def", data, size);
    removeFile("ab2_tab.def");
    writeFile("c_tab.def", fixed.modules);
    removeFile("c2_tab.def");
    load(0);
    load(1);

    // As the secondary IOD file after the shipped IOD.
    writeFile("ab_tab.def", fixed.iod);
    writeFile("ab2_tab.def", data, size);
    load(0);

    // As the primary module file, then as the secondary one.
    removeFile("ab2_tab.def");
    writeFile("c_tab.def", data, size);
    load(0);
    writeFile("ab2_tab.def", "");
    writeFile("c_tab.def", fixed.modules);
    writeFile("c2_tab.def", data, size);
    load(0);
    return 0;
}
