#!/bin/sh
# keywarden benchmark: round trips through the broker's socket against their
# peers measured in the same run.
#   - greeting + "secret.get" on one connection, and "secret.get" alone, against
#     the store's own round trip: N lookups of the same item in one process
#     through libsecret (what `secret-tool lookup` does once, without its
#     process start); `secret-tool lookup` with its start is shown as well;
#   - a "run" of /bin/true from request to final reply, against a direct
#     posix_spawn + waitpid of /bin/true.
# Medians of N rounds (N=200 by default); best of three runs is printed.
# Needs root (the client runs from a root-owned bundle, as a verified peer).
# Usage: bench/keywarden.sh [build-dir] [rounds]
set -eu
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build}
rounds=${2:-200}
broker="$build/bin/keywarden"
[ -x "$broker" ] || { echo "no $broker; build the keywarden target first" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "needs root for the client's bundle" >&2; exit 1; }

bundle=/run/orvan-keywarden-bench-$$
work=$(mktemp -d /tmp/keywarden-bench.XXXXXX)
trap 'rm -rf "$work" "$bundle"' EXIT INT TERM
mkdir -p "$bundle/Orvan.app/Contents"
chmod 755 "$bundle" "$bundle/Orvan.app" "$bundle/Orvan.app/Contents"
printf 'org.orvan.library\n' > "$bundle/Orvan.app/bundle.identifier"
chmod 644 "$bundle/Orvan.app/bundle.identifier"

cat > "$work/client.c" <<'EOF'
#define _GNU_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
extern char **environ;
static int fd;
static char buf[1 << 16];
static size_t have;
static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec * 1e6 + t.tv_nsec / 1e3; }
static void sendLine(const char *line) { if (write(fd, line, strlen(line)) < 0) exit(3); }
/* Takes one reply line off the buffer, reading until it is complete. */
static void readLine(void) {
  for (;;) {
    char *nl = memchr(buf, '\n', have);
    if (nl) { size_t n = (size_t)(nl - buf) + 1; memmove(buf, buf + n, have - n); have -= n; return; }
    ssize_t r = read(fd, buf + have, sizeof buf - have);
    if (r <= 0) { fprintf(stderr, "broker closed\n"); exit(4); }
    have += (size_t)r;
  }
}
static int cmp(const void *a, const void *b) { double x = *(const double *)a, y = *(const double *)b; return x < y ? -1 : x > y; }
static double median(double *v, int n) { qsort(v, (size_t)n, sizeof *v, cmp); return v[n / 2]; }
int main(int argc, char **argv) {
  int n = atoi(argv[2]);
  double *t = malloc(sizeof(double) * (size_t)n);
  struct sockaddr_un a = {.sun_family = AF_UNIX};
  strncpy(a.sun_path, argv[1], sizeof a.sun_path - 1);
  fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (connect(fd, (struct sockaddr *)&a, sizeof a) != 0) return 2;
  sendLine("{\"op\":\"hello\",\"v\":1}\n"); readLine();
  sendLine("{\"op\":\"secret.set\",\"name\":\"bench\",\"value\":\"benchmark secret\"}\n"); readLine();
  for (int i = 0; i < n; ++i) {
    double s = now();
    sendLine("{\"op\":\"hello\",\"v\":1}\n{\"op\":\"secret.get\",\"name\":\"bench\"}\n");
    readLine(); readLine();
    t[i] = now() - s;
  }
  printf("hello+get %.1f\n", median(t, n));
  for (int i = 0; i < n; ++i) {
    double s = now();
    sendLine("{\"op\":\"secret.get\",\"name\":\"bench\"}\n"); readLine();
    t[i] = now() - s;
  }
  printf("get %.1f\n", median(t, n));
  for (int i = 0; i < n; ++i) {
    double s = now();
    sendLine("{\"op\":\"run\",\"tool\":\"/bin/true\"}\n");
    readLine(); /* /bin/true writes nothing: the one line is the final reply */
    t[i] = now() - s;
  }
  printf("run %.1f\n", median(t, n));
  for (int i = 0; i < n; ++i) {
    double s = now();
    pid_t pid; char *args[] = {"/bin/true", NULL};
    if (posix_spawn(&pid, "/bin/true", NULL, NULL, args, environ) != 0) return 5;
    waitpid(pid, NULL, 0);
    t[i] = now() - s;
  }
  printf("spawn %.1f\n", median(t, n));
  return 0;
}
EOF

cat > "$work/store.c" <<'EOF'
#include <libsecret/secret.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
static const SecretSchema schema = {"org.orvan.bench", SECRET_SCHEMA_DONT_MATCH_NAME,
  {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"account", SECRET_SCHEMA_ATTRIBUTE_STRING}, {NULL, 0}}};
static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec * 1e6 + t.tv_nsec / 1e3; }
static int cmp(const void *a, const void *b) { double x = *(const double *)a, y = *(const double *)b; return x < y ? -1 : x > y; }
int main(int argc, char **argv) {
  int n = atoi(argv[1]);
  double *t = malloc(sizeof(double) * (size_t)n);
  for (int i = -1; i < n; ++i) { /* the first lookup opens the session, untimed */
    double s = now();
    gchar *v = secret_password_lookup_sync(&schema, NULL, NULL, "service", "org.orvan.access", "account", "bench", NULL);
    if (!v) { fprintf(stderr, "item not found\n"); return 1; }
    secret_password_free(v);
    if (i >= 0) t[i] = now() - s;
  }
  qsort(t, (size_t)n, sizeof *t, cmp);
  printf("store %.1f\n", t[n / 2]);
  return 0;
}
EOF
cc -O2 -o "$bundle/Orvan.app/Contents/client" "$work/client.c"
cc -O2 -o "$work/store" "$work/store.c" $(pkg-config --cflags --libs libsecret-1)
chmod 755 "$bundle/Orvan.app/Contents/client"

cat > "$work/inner.sh" <<'EOF'
set -eu
work=$1 broker=$2 client=$3 rounds=$4
mkdir -p "$work/home"
HOME="$work/home" "$broker" &
pid=$!
sock="$work/home/Library/Application Support/Orvan Access/socket"
while [ ! -S "$sock" ]; do sleep 0.01; done
for run in 1 2 3; do
  "$client" "$sock" "$rounds"
  "$work/store" "$rounds"
  # secret-tool with its own process start, for reference (median of 20)
  for i in $(seq 20); do
    s=$(date +%s%N); secret-tool lookup service org.orvan.access account bench >/dev/null; e=$(date +%s%N)
    echo "secret-tool $(( (e - s) / 1000 ))"
  done | sort -n -k2 | sed -n 10p
done
kill "$pid"
EOF
"$repo/tests/with-secret-service.sh" sh "$work/inner.sh" "$work" "$broker" "$bundle/Orvan.app/Contents/client" "$rounds" \
  > "$work/out"

best() { awk -v k="$1" '$1 == k { if (b == "" || $2 < b) b = $2 } END { print b }' "$work/out"; }
hg=$(best hello+get) get=$(best get) store=$(best store) run=$(best run) spawn=$(best spawn) tool=$(best secret-tool)
echo "keywarden greeting + secret.get: ${hg} us; secret.get alone: ${get} us"
echo "store round trip (libsecret lookup in one process): ${store} us; secret-tool lookup with process start: ${tool} us"
awk -v g="$get" -v h="$hg" -v s="$store" 'BEGIN { printf "ratio secret.get / store: %.2f (target <= 2); greeting + get / store: %.2f\n", g / s, h / s }'
echo "run /bin/true to final reply: ${run} us; direct posix_spawn + wait: ${spawn} us"
awk -v r="$run" -v p="$spawn" 'BEGIN { printf "run overhead: %.2f ms (target < 2 ms)\n", (r - p) / 1000 }'
