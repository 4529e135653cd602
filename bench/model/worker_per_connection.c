// The smallest program with our threading model serving files: the main thread accepts
// and hands each connection to a pooled worker (a mutex and condition variable queue);
// the worker answers its requests one after the other. Each request: the file opened
// under the root, fstat, the head sent with MSG_MORE, the body by sendfile, the file
// closed; the connection ends after the answer when the request says
// "Connection: close". A ceiling for bench/model.sh, not a server: no parsing beyond
// the path, no checks, no log.
//
//   worker_per_connection PORT ROOT
#define _GNU_SOURCE
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
static int rootfd;
static pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
static int queue[4096], qhead, qtail;
static void answer(int fd, const char* head, int* close_after) {
  char path[256];
  const char* p = strchr(head, ' ');
  const char* q = p ? strchr(p + 1, ' ') : 0;
  if (!q || q - p - 2 >= (int)sizeof path) {
    *close_after = 1;
    return;
  }
  memcpy(path, p + 2, q - p - 2);
  path[q - p - 2] = 0;
  *close_after = strcasestr(head, "\r\nConnection: close") != 0;
  int f = openat(rootfd, path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (f < 0 || fstat(f, &st) < 0) {
    *close_after = 1;
    if (f >= 0) close(f);
    return;
  }
  char h[256];
  int n =
      snprintf(h, sizeof h,
               "HTTP/1.1 200 OK\r\nContent-Length: %lld\r\nContent-Type: application/octet-stream\r\n%s\r\n",
               (long long)st.st_size, *close_after ? "Connection: close\r\n" : "");
  send(fd, h, n, MSG_NOSIGNAL | MSG_MORE);
  off_t off = 0;
  while (off < st.st_size) {
    ssize_t s = sendfile(fd, f, &off, st.st_size - off);
    if (s <= 0) break;
  }
  close(f);
}
static void serve(int fd) {
  char buf[8192];
  int have = 0;
  for (;;) {
    int n = recv(fd, buf + have, sizeof buf - have - 1, 0);
    if (n <= 0) break;
    have += n;
    buf[have] = 0;
    char* e;
    int done = 0;
    while ((e = memmem(buf, have, "\r\n\r\n", 4))) {
      int used = e + 4 - buf;
      e[2] = 0;
      int c = 0;
      answer(fd, buf, &c);
      memmove(buf, buf + used, have - used);
      have -= used;
      buf[have] = 0;
      if (c) {
        done = 1;
        break;
      }
    }
    if (done) {
      shutdown(fd, SHUT_WR);
      break;
    }
  }
  close(fd);
}
static void* worker(void* a) {
  (void)a;
  for (;;) {
    pthread_mutex_lock(&mu);
    while (qhead == qtail) pthread_cond_wait(&cv, &mu);
    int fd = queue[qhead++ % 4096];
    pthread_mutex_unlock(&mu);
    serve(fd);
  }
  return 0;
}
int main(int c, char** v) {
  if (c < 3) return 2;
  int port = atoi(v[1]);
  rootfd = open(v[2], O_DIRECTORY | O_RDONLY);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, 4);
  struct sockaddr_in a = {
      .sin_family = AF_INET, .sin_port = htons(port), .sin_addr.s_addr = htonl(0x7f000001)};
  if (bind(s, (void*)&a, sizeof a) || listen(s, 1024)) return 1;
  for (int i = 0; i < 80; i++) {
    pthread_t t;
    pthread_create(&t, 0, worker, 0);
    pthread_detach(t);
  }
  for (;;) {
    int fd = accept4(s, 0, 0, SOCK_CLOEXEC);
    if (fd < 0) continue;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, 4);
    pthread_mutex_lock(&mu);
    queue[qtail++ % 4096] = fd;
    pthread_cond_signal(&cv);
    pthread_mutex_unlock(&mu);
  }
}
