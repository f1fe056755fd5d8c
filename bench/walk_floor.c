/* The least a run over an unchanged source/destination pair can cost: one
 * listing of each folder of each side and one fstatat per entry, relative to
 * the open folder, with no path resolved twice.
 *
 *   walk_floor [--mirror-only | --passes] SOURCE DEST
 *
 * By default both trees are listed, each entry stat'ed once (what a mirror
 * and a sweep must at least look at). With --mirror-only the destination is
 * not listed: each source entry's counterpart is stat'ed by name in the open
 * destination folder (what a mirror alone must look at). With --passes, the
 * two passes as they may be done with everything one pass has read reused:
 * the mirror as --mirror-only, then a sweep that lists the destination,
 * takes each entry's kind from the listing and stat's its source-side
 * counterpart once. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

struct Counts {
  long entries, calls, missing;
};

static struct Counts counts;

static int IsDot(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

static DIR* OpenFolder(int parent, const char* name) {
  int fd =
      openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd < 0 ? NULL : fdopendir(fd);
  if (dir == NULL) {
    perror(name);
    exit(1);
  }
  return dir;
}

static int StatAt(int folder, const char* name, struct stat* info) {
  ++counts.calls;
  if (fstatat(folder, name, info, AT_SYMLINK_NOFOLLOW) == 0) return 1;
  if (errno != ENOENT) {
    perror(name);
    exit(1);
  }
  ++counts.missing;
  return 0;
}

/* Walks the tree of `dir`, stat'ing each entry once; with `dest` >= 0 also
 * stat's each entry's counterpart in `dest` and descends in step. */
static void Walk(DIR* dir, int dest) {
  struct dirent* entry;
  int fd = dirfd(dir);
  while ((entry = readdir(dir)) != NULL) {
    if (IsDot(entry->d_name)) continue;
    struct stat info, counterpart;
    ++counts.entries;
    StatAt(fd, entry->d_name, &info);
    int dest_present = dest >= 0 && StatAt(dest, entry->d_name, &counterpart);
    if (!S_ISDIR(info.st_mode)) continue;
    /* Descending while the listing is open keeps one descriptor per level. */
    DIR* child = OpenFolder(fd, entry->d_name);
    DIR* dest_child = dest_present ? OpenFolder(dest, entry->d_name) : NULL;
    Walk(child, dest_child ? dirfd(dest_child) : -1);
    closedir(child);
    if (dest_child) closedir(dest_child);
  }
}

/* The sweep with the listing's d_type for the kind: one fstatat per
 * destination entry, of its source-side counterpart. */
static void Sweep(DIR* dest, int source) {
  struct dirent* entry;
  int fd = dirfd(dest);
  while ((entry = readdir(dest)) != NULL) {
    if (IsDot(entry->d_name)) continue;
    struct stat info, counterpart;
    ++counts.entries;
    int is_folder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      StatAt(fd, entry->d_name, &info);
      is_folder = S_ISDIR(info.st_mode);
    }
    int source_present =
        source >= 0 && StatAt(source, entry->d_name, &counterpart);
    if (!is_folder) continue;
    DIR* child = OpenFolder(fd, entry->d_name);
    DIR* source_child = source_present && S_ISDIR(counterpart.st_mode)
                            ? OpenFolder(source, entry->d_name)
                            : NULL;
    Sweep(child, source_child ? dirfd(source_child) : -1);
    closedir(child);
    if (source_child) closedir(source_child);
  }
}

int main(int argc, char** argv) {
  int mirror_only = argc == 4 && strcmp(argv[1], "--mirror-only") == 0;
  int passes = argc == 4 && strcmp(argv[1], "--passes") == 0;
  if (argc != 3 + mirror_only + passes) {
    fprintf(stderr,
            "usage: walk_floor [--mirror-only | --passes] SOURCE DEST\n");
    return 2;
  }
  DIR* source = OpenFolder(AT_FDCWD, argv[1 + mirror_only + passes]);
  DIR* dest = OpenFolder(AT_FDCWD, argv[2 + mirror_only + passes]);
  if (mirror_only) {
    Walk(source, dirfd(dest));
  } else if (passes) {
    Walk(source, dirfd(dest));
    rewinddir(dest);
    Sweep(dest, dirfd(source));
  } else {
    Walk(source, -1);
    Walk(dest, -1);
  }
  closedir(source);
  closedir(dest);
  printf("walk_floor%s: %ld entries, %ld fstatat calls, %ld missing\n",
         mirror_only ? " (mirror only)"
         : passes    ? " (passes)"
                     : "",
         counts.entries, counts.calls, counts.missing);
  return 0;
}
