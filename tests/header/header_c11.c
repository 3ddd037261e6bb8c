/* The public header as a C11 program sees it: every type usable, every function linkable. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "veltari.h"

static void OnAsync(void* context, bool result, VeltariError error) { (void)context; (void)result; (void)error; }
static void OnKey(void* context, VeltariKeyId key, bool pressed) { (void)context; (void)key; (void)pressed; }

int main(void) {
    /* Before a handshake every call fails with VeltariErrorNoHandshake and sends nothing. */
    VeltariLedColor color = {5, 255, 0, 0};
    bool value = false;
    int number = 0;
    int failures = 0;
    char version[32];
    VeltariAsyncCallback async = OnAsync;
    VeltariKeyPressCallback key = OnKey;
    failures += VeltariGetLastError() != VeltariErrorSuccess;
    failures += VeltariGetDeviceCount() != -1;
    failures += VeltariGetLastError() != VeltariErrorNoHandshake;
    failures += VeltariGetDeviceInfo(0) != NULL;
    failures += VeltariGetLedPositions() != NULL;
    failures += VeltariGetLedPositionsByDeviceIndex(0) != NULL;
    failures += VeltariGetLedIdForKeyName('A') != 0;
    failures += VeltariSetLedsColors(1, &color);
    failures += VeltariGetLedsColors(1, &color);
    failures += VeltariGetLedsColorsByDeviceIndex(0, 1, &color);
    failures += VeltariSetLedsColorsBufferByDeviceIndex(0, 1, &color);
    failures += VeltariSetLedsColorsFlushBuffer();
    failures += VeltariSetLedsColorsAsync(1, &color, async, NULL);
    failures += VeltariSetLedsColorsFlushBufferAsync(async, NULL);
    failures += VeltariRequestControl(VeltariAccessModeLightingControl);
    failures += VeltariReleaseControl(VeltariAccessModeLightingControl);
    failures += VeltariSetLayerPriority(1);
    failures += VeltariGetBoolPropertyValue(0, VeltariPropertyTypeBool, &value);
    failures += VeltariGetInt32PropertyValue(0, VeltariPropertyTypeInt32, &number);
    failures += VeltariRegisterKeypressCallback(key, NULL);
    failures += VeltariGetLastError() != VeltariErrorNoHandshake;
    failures += sizeof(bool) != 1;
    failures += offsetof(VeltariLedPosition, top) != 8;
    /* The header-only helpers: error names and the version macros generated from the project version. */
    failures += strcmp(VeltariErrorName(VeltariErrorBadArgument), "VeltariErrorBadArgument") != 0;
    failures += strcmp(VeltariErrorName(VeltariErrorSuccess), "VeltariErrorSuccess") != 0;
    failures += VeltariErrorName((VeltariError)101) != NULL;
    snprintf(version, sizeof version, "%d.%d.%d", VELTARI_VERSION_MAJOR, VELTARI_VERSION_MINOR,
             VELTARI_VERSION_PATCH);
    failures += strcmp(version, VELTARI_VERSION_STRING) != 0;
    failures += VELTARI_VERSION_NUMBER !=
                VELTARI_VERSION_MAJOR * 1000000 + VELTARI_VERSION_MINOR * 1000 + VELTARI_VERSION_PATCH;
    if (failures != 0) {
        printf("%d checks failed\n", failures);
        return 1;
    }
    return 0;
}
