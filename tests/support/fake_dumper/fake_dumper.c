/* A stand-in for the crash-dump library: it records each call as a line, in memory for the test
 * that loaded it (FakeDumperJournal) and in the file VELKA_FAKE_DUMPER_LOG names, if any. */
#include <stdio.h>
#include <stdlib.h>

static char journal[8192];
static size_t used;

static void Record(const char* line) {
    const char* path = getenv("VELKA_FAKE_DUMPER_LOG");
    FILE* file = path != NULL && path[0] != '\0' ? fopen(path, "ab") : NULL;
    const int n = snprintf(journal + used, sizeof journal - used, "%s\n", line);
    if (n > 0 && used + (size_t)n < sizeof journal) used += (size_t)n;
    if (file == NULL) return;
    fprintf(file, "%s\n", line);
    fclose(file);
}

const char* FakeDumperJournal(void) {
    return journal;
}

void InitDumperTessaray(const char* appKey, const char* appVersion, const char* extra) {
    char line[512];
    snprintf(line, sizeof line, "InitDumperTessaray|%s|%s|%s", appKey, appVersion, extra);
    Record(line);
}

void UnInitDumper(void) {
    Record("UnInitDumper");
}

void SetOnMiniDumpCreateCallBack(void* callback) {
    Record(callback ? "SetOnMiniDumpCreateCallBack" : "SetOnMiniDumpCreateCallBack|null");
}

#ifndef VELKA_FAKE_DUMPER_WITHOUT_SETCONFIG
void SetConfig(int key, const char* value) {
    char line[512];
    snprintf(line, sizeof line, "SetConfig|%d|%s", key, value);
    Record(line);
}
#endif
