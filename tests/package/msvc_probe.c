/* A host linked as Microsoft's linker links one: against efilink.lib alone, with no C runtime.
 * Its exit code is 0 when the library answers with its version text. */
#include <efilink/efilink.h>

int probe_main(void)
{
    static const char expected[] = "efilink ";
    char text[128];
    unsigned i;

    if (EfiGetLibraryVersion(text, sizeof text) != 0) return 1;
    for (i = 0; i + 1 < sizeof expected; ++i)
        if (text[i] != expected[i]) return 2;
    return 0;
}
