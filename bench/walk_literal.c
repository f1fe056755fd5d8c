/* The system calls the mirror and sweep passes describe, made literally, on
 * full paths, over an unchanged source/destination pair: what the engine
 * costs when nothing is reused. No window, no strings beyond the paths.
 *
 *   walk_literal [--mirror-only] SOURCE DEST
 *
 * Mirror, per folder: a probe of the destination folder, the two folders'
 * attribute reads, the source listing with one attribute read per entry
 * ("." and ".." included); per file: a probe of the destination file, two
 * last-modified-time reads and two attribute reads. Sweep, per destination
 * folder: its listing with one attribute read per entry; per file a probe of
 * the source-side path; at the end a probe of the source folder. Every probe
 * and read is one lstat of the full path. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

struct Counts {
  long files, folders, calls, missing;
};

static struct Counts counts;

static void Stat(const char* path) {
  struct stat info;
  ++counts.calls;
  if (lstat(path, &info) != 0) {
    if (errno != ENOENT) {
      perror(path);
      exit(1);
    }
    ++counts.missing;
  }
}

static char* Child(const char* folder, const char* name) {
  char* path = malloc(strlen(folder) + strlen(name) + 2);
  if (path == NULL) exit(1);
  sprintf(path, "%s/%s", folder, name);
  return path;
}

/* A folder's names in listing order, each with its kind as read from its
 * full path. */
struct Snapshot {
  char** names;
  char* is_folder;
  size_t count;
};

static struct Snapshot TakeSnapshot(const char* folder) {
  struct Snapshot snapshot = {NULL, NULL, 0};
  size_t capacity = 0;
  DIR* dir = opendir(folder);
  if (dir == NULL) {
    perror(folder);
    exit(1);
  }
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    char* path = Child(folder, entry->d_name);
    struct stat info;
    ++counts.calls;
    if (lstat(path, &info) != 0) {
      perror(path);
      exit(1);
    }
    free(path);
    if (S_ISDIR(info.st_mode) &&
        (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0))
      continue;
    if (snapshot.count == capacity) {
      capacity = capacity ? capacity * 2 : 16;
      snapshot.names = realloc(snapshot.names, capacity * sizeof(char*));
      snapshot.is_folder = realloc(snapshot.is_folder, capacity);
    }
    snapshot.names[snapshot.count] = strdup(entry->d_name);
    snapshot.is_folder[snapshot.count++] = S_ISDIR(info.st_mode) != 0;
  }
  closedir(dir);
  return snapshot;
}

static void FreeSnapshot(struct Snapshot* snapshot) {
  for (size_t i = 0; i < snapshot->count; ++i) free(snapshot->names[i]);
  free(snapshot->names);
  free(snapshot->is_folder);
}

static void Mirror(const char* source, const char* dest) {
  Stat(dest);   /* probe */
  Stat(source); /* attribute reads */
  Stat(dest);
  struct Snapshot snapshot = TakeSnapshot(source);
  for (size_t i = 0; i < snapshot.count; ++i) {
    if (snapshot.is_folder[i]) continue;
    char* source_file = Child(source, snapshot.names[i]);
    char* dest_file = Child(dest, snapshot.names[i]);
    ++counts.files;
    Stat(dest_file); /* probe */
    Stat(dest_file); /* times */
    Stat(source_file);
    Stat(dest_file); /* masks */
    Stat(source_file);
    free(source_file);
    free(dest_file);
  }
  for (size_t i = 0; i < snapshot.count; ++i) {
    if (!snapshot.is_folder[i]) continue;
    char* source_folder = Child(source, snapshot.names[i]);
    char* dest_folder = Child(dest, snapshot.names[i]);
    Mirror(source_folder, dest_folder);
    ++counts.folders;
    free(source_folder);
    free(dest_folder);
  }
  FreeSnapshot(&snapshot);
}

static void Sweep(const char* dest, const char* source) {
  struct Snapshot snapshot = TakeSnapshot(dest);
  for (size_t i = 0; i < snapshot.count; ++i) {
    if (snapshot.is_folder[i]) continue;
    char* source_side = Child(source, snapshot.names[i]);
    Stat(source_side); /* probe */
    free(source_side);
  }
  for (size_t i = 0; i < snapshot.count; ++i) {
    if (!snapshot.is_folder[i]) continue;
    char* dest_folder = Child(dest, snapshot.names[i]);
    char* source_folder = Child(source, snapshot.names[i]);
    Sweep(dest_folder, source_folder);
    free(dest_folder);
    free(source_folder);
  }
  Stat(source); /* final probe */
  FreeSnapshot(&snapshot);
}

int main(int argc, char** argv) {
  int mirror_only = argc == 4 && strcmp(argv[1], "--mirror-only") == 0;
  if (argc != 3 + mirror_only) {
    fprintf(stderr, "usage: walk_literal [--mirror-only] SOURCE DEST\n");
    return 2;
  }
  const char* source = argv[1 + mirror_only];
  const char* dest = argv[2 + mirror_only];
  Mirror(source, dest);
  if (!mirror_only) Sweep(dest, source);
  printf(
      "walk_literal%s: %ld files, %ld folders, %ld lstat calls, %ld missing\n",
      mirror_only ? " (mirror only)" : "", counts.files, counts.folders,
      counts.calls, counts.missing);
  return 0;
}
