/* A Windows program that uses EposCMD64.dll the way the module does: loads it
 * by file name at run time, looks every command the module calls up by its
 * plain name, and runs a short session through those pointers with the
 * vendor's calling convention. Prints one line per check and a count line;
 * the exit status is the number of failed checks.
 *
 *     load_by_name.exe [state file]
 *
 * The optional state file keeps the controller's stored memory away from the
 * shared default. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#define VCS_CALL __stdcall

static const char* const kCommands[] = {
    "VCS_ActivatePositionCompare", "VCS_ActivateProfilePositionMode", "VCS_ClearFault",
    "VCS_CloseDevice", "VCS_DeactivatePositionCompare", "VCS_DigitalOutputConfiguration",
    "VCS_DisablePositionCompare", "VCS_EnablePositionCompare", "VCS_GetAllDigitalInputs",
    "VCS_GetCurrentIs", "VCS_GetDcMotorParameter", "VCS_GetErrorInfo",
    "VCS_GetIncEncoderParameter", "VCS_GetMovementState", "VCS_GetObject",
    "VCS_GetPositionIs", "VCS_GetPositionProfile", "VCS_GetState",
    "VCS_MoveToPosition", "VCS_OpenDevice", "VCS_SetDcMotorParameter",
    "VCS_SetDisableState", "VCS_SetEnableState", "VCS_SetMaxAcceleration",
    "VCS_SetMaxProfileVelocity", "VCS_SetObject", "VCS_SetPositionCompareParameter",
    "VCS_SetPositionProfile", "VCS_SetQuickStopState", "VCS_Store",
    "VCS_WaitForTargetReached",
};

typedef void*(VCS_CALL* OpenDeviceFn)(char*, char*, char*, char*, uint32_t*);
typedef int32_t(VCS_CALL* HandleOnlyFn)(void*, uint32_t*);
typedef int32_t(VCS_CALL* NodeOnlyFn)(void*, uint16_t, uint32_t*);
typedef int32_t(VCS_CALL* GetObjectFn)(void*, uint16_t, uint16_t, uint8_t, void*, uint32_t, uint32_t*, uint32_t*);
typedef int32_t(VCS_CALL* SetProfileFn)(void*, uint16_t, uint32_t, uint32_t, uint32_t, uint32_t*);
typedef int32_t(VCS_CALL* MoveToFn)(void*, uint16_t, int32_t, int32_t, int32_t, uint32_t*);
typedef int32_t(VCS_CALL* WaitForFn)(void*, uint16_t, uint32_t, uint32_t*);
typedef int32_t(VCS_CALL* GetInt32Fn)(void*, uint16_t, int32_t*, uint32_t*);
typedef int32_t(VCS_CALL* ErrorInfoFn)(uint32_t, char*, uint16_t);

static int passed, failed;

static void check(int ok, const char* what, const char* detail) {
    printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, detail[0] ? ": " : "", detail);
    if (ok) ++passed; else ++failed;
}

int main(int argc, char** argv) {
    HMODULE lib;
    FARPROC found[sizeof kCommands / sizeof kCommands[0]];
    size_t i;
    char text[256] = "";
    uint32_t err = 0, read = 0;
    int32_t stored = 0, before = 0, after = 0, reached = 0;
    void* handle;

    if (argc > 1) _putenv_s("VOSTEL_SIM_STATE", argv[1]);
    lib = LoadLibraryA("EposCMD64.dll");
    check(lib != NULL, "LoadLibrary(\"EposCMD64.dll\")", "");
    if (lib == NULL) return 1;
    for (i = 0; i < sizeof kCommands / sizeof kCommands[0]; ++i) {
        found[i] = GetProcAddress(lib, kCommands[i]);
        if (found[i] == NULL) check(0, kCommands[i], "not exported under its plain name");
    }
    check(failed == 0, "every command the module calls is exported by name", "");
    if (failed) return failed;

#define COMMAND(type, name) ((type)(void*)GetProcAddress(lib, name))
    handle = COMMAND(OpenDeviceFn, "VCS_OpenDevice")("EPOS2", "MAXON SERIAL V2", "USB", "USB0", &err);
    COMMAND(ErrorInfoFn, "VCS_GetErrorInfo")(err, text, sizeof text);
    check(handle != NULL, "VCS_OpenDevice", handle ? "" : text);
    if (handle == NULL) return failed;
    check(COMMAND(NodeOnlyFn, "VCS_SetEnableState")(handle, 1, &err) != 0, "VCS_SetEnableState", "");
    check(COMMAND(GetObjectFn, "VCS_GetObject")(handle, 1, 0x2081, 0, &stored, 4, &read, &err) != 0 && read == 4,
          "VCS_GetObject 0x2081 reads four bytes", "");
    check(COMMAND(NodeOnlyFn, "VCS_ActivateProfilePositionMode")(handle, 1, &err) != 0,
          "VCS_ActivateProfilePositionMode", "");
    check(COMMAND(SetProfileFn, "VCS_SetPositionProfile")(handle, 1, 600, 2000, 2000, &err) != 0,
          "VCS_SetPositionProfile", "");
    check(COMMAND(GetInt32Fn, "VCS_GetPositionIs")(handle, 1, &before, &err) != 0, "VCS_GetPositionIs", "");
    check(COMMAND(MoveToFn, "VCS_MoveToPosition")(handle, 1, -200, 0, 1, &err) != 0,
          "VCS_MoveToPosition by -200 steps", "");
    check(COMMAND(WaitForFn, "VCS_WaitForTargetReached")(handle, 1, 10000, &err) != 0,
          "VCS_WaitForTargetReached", "");
    check(COMMAND(GetInt32Fn, "VCS_GetMovementState")(handle, 1, &reached, &err) != 0 && reached,
          "VCS_GetMovementState reports the target reached", "");
    COMMAND(GetInt32Fn, "VCS_GetPositionIs")(handle, 1, &after, &err);
    sprintf(text, "from %ld to %ld", (long)before, (long)after);
    check(after == before - 200, "the drive moved by -200 steps", text);
    check(COMMAND(NodeOnlyFn, "VCS_SetDisableState")(handle, 1, &err) != 0, "VCS_SetDisableState", "");
    check(COMMAND(HandleOnlyFn, "VCS_CloseDevice")(handle, &err) != 0, "VCS_CloseDevice", "");
    text[0] = '\0';
    COMMAND(ErrorInfoFn, "VCS_GetErrorInfo")(0x10000003u, text, sizeof text);
    check(text[0] != '\0', "VCS_GetErrorInfo gives a text", text);
#undef COMMAND
    FreeLibrary(lib);
    printf("load_by_name: %d passed, %d failed\n", passed, failed);
    return failed;
}
