/* A stand-in for the crash-dump library: it exports the library's four functions and records
 * every call it receives, one line each ("SetConfig|6|internal_us", "InitDumperTessaray|a|b|c",
 * "UnInitDumper"), in memory for the test that loaded it (FakeDumperJournal) and, when the
 * environment names one in VELKA_FAKE_DUMPER_LOG, appended to that file for tests that watch a
 * launcher process. Built twice: once complete, once without SetConfig
 * (VELKA_FAKE_DUMPER_WITHOUT_SETCONFIG), as a library that lacks an export. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char journal[8192];
static size_t journalLength;

static void Record(const char* line) {
    const int n = snprintf(journal + journalLength, sizeof journal - journalLength, "%s\n", line);
    if (n > 0 && journalLength + (size_t)n < sizeof journal) journalLength += (size_t)n;

    const char* path = getenv("VELKA_FAKE_DUMPER_LOG");
    if (path == NULL || path[0] == '\0') return;
    FILE* file = fopen(path, "ab");
    if (file == NULL) return;
    fprintf(file, "%s\n", line);
    fclose(file);
}

static const char* Shown(const char* text) {
    return text == NULL ? "(null)" : text;
}

const char* FakeDumperJournal(void) {
    return journal;
}

void InitDumperTessaray(const char* appKey, const char* appVersion, const char* extra) {
    char line[512];
    snprintf(line, sizeof line, "InitDumperTessaray|%s|%s|%s", Shown(appKey), Shown(appVersion),
             Shown(extra));
    Record(line);
}

void UnInitDumper(void) {
    Record("UnInitDumper");
}

void SetOnMiniDumpCreateCallBack(void* callback) {
    (void)callback;
    Record("SetOnMiniDumpCreateCallBack");
}

#ifndef VELKA_FAKE_DUMPER_WITHOUT_SETCONFIG
void SetConfig(int key, const char* value) {
    char line[512];
    snprintf(line, sizeof line, "SetConfig|%d|%s", key, Shown(value));
    Record(line);
}
#endif
