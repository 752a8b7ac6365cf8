/* A host of the installed library: names the library, then runs one exchange through the
 * simulator library given as the first argument. Exit code 0 only when every step is right. */
#include <efilink/efilink.h>

#include <stdio.h>
#include <string.h>

static int fail(const char* what, uint32_t status)
{
    fprintf(stderr, "consumer: %s (0x%08lX)\n", what, (unsigned long)status);
    return 1;
}

int main(int argc, char** argv)
{
    char version[128];
    char text[600];
    uint32_t status;

    if (argc != 2) {
        fprintf(stderr, "usage: consumer <simulator library>\n");
        return 2;
    }
    status = EfiGetLibraryVersion(version, sizeof version);
    if (status != 0) return fail("EfiGetLibraryVersion", status);
    printf("%s\n", version);

    /* One byte short of the text and its zero: truncated, terminated, nothing written past size. */
    {
        const uint32_t size = (uint32_t)strlen(version);
        char small[sizeof version];
        memset(small, '#', sizeof small);
        status = EfiGetLibraryVersion(small, size);
        if (status != 1 || small[size - 1] != '\0' || small[size] != '#' ||
            strncmp(small, version, size - 1) != 0)
            return fail("EfiGetLibraryVersion with a short buffer", status);
        if (EfiGetLibraryVersion(NULL, 0) != 1) return fail("EfiGetLibraryVersion without a buffer", 0);
    }

    if (strlen(argv[1]) + 2 > sizeof text) return fail("simulator path too long", 0);
    snprintf(text, sizeof text, "@%s", argv[1]);
    status = EfiInitializeInterfaces(EFI_FLAG_SIMULATOR, text);
    if (status != 0) return fail("EfiInitializeInterfaces", status);

    {
        /* The software unit answers command 5 with one 32-bit word: 5 << 24 | offset << 16 | the
         * sum of the command data bytes. */
        unsigned char command[4] = {0x01, 0x00, 0x00, 0x00};
        uint32_t response = 0;
        uint16_t received = 0;
        status = EfiSendCommand(0x05, command, sizeof command, &response, sizeof response, &received);
        if (status != 0) return fail("EfiSendCommand", status);
        if (received != 4 || response != 0x05000001u) return fail("unexpected response", response);
        printf("command 0x05: status 0, %u bytes, 0x%08lX\n", (unsigned)received, (unsigned long)response);
    }

    status = EfiCloseInterfaces(EFI_CLOSE_ALL_PORTS);
    if (status != 0) return fail("EfiCloseInterfaces", status);
    return 0;
}
