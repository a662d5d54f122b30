/* A C11 program that uses the public interface: builds an object, sorts it, looks up a name. */
#include <stdio.h>
#include <string.h>

#include "velmar.h"

int main(void) {
    AppData app;
    DicomObject *obj = NULL;
    DicomElement el;
    const char *name = NULL;
    if (init_AppData(&app, "consumer", "1", NULL) != 0) return 1;
    if (DO_openObject(&obj) != 0) return 1;
    memset(&el, 0, sizeof el);
    el.group = 0x0010;
    el.element = 0x0020;
    el.vr = VR_LO;
    el.length = 4;
    el.value = "ID01";
    if (DO_addElement(&app, obj, &el) != 0) return 1;
    el.group = 0x0008;
    el.element = 0x0060;
    el.value = "NM";
    el.length = 2;
    if (DO_addElement(&app, obj, &el) != 0) return 1;
    SortCodes(obj->root);
    getAttrName(&app, 0x00090000u, &name);
    printf("%04x %s %s\n", (unsigned)obj->root->firstChild->group, name, velmar_version());
    DO_closeObject(&obj);
    done_AppData(&app);
    return obj == NULL ? 0 : 1;
}
