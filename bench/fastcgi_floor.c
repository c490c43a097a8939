/* The least a FastCGI responder can do: answer every request with the same
 * bytes, held in memory. bench/fastcgi.sh measures it beside the program, so
 * what the web server's FastCGI handling costs by itself shows next to what
 * the program adds.
 *
 *   fastcgi_floor RESPONSE-FILE [THREADS [SOCKET-PATH]]
 *
 * RESPONSE-FILE holds a complete CGI response (header lines, a blank line,
 * the body), read once at start. THREADS (default 1) threads take requests
 * at once: a connection the web server keeps holds its thread until it is
 * closed. Without SOCKET-PATH the listening socket is standard input (a web
 * server starting the responder itself); with it the responder listens
 * there. */
#include <fcgiapp.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

static char *response;
static long size;
static int listener;

static void *serve(void *unused) {
  (void)unused;
  FCGX_Request request;
  FCGX_InitRequest(&request, listener, 0);
  while (FCGX_Accept_r(&request) >= 0) {
    FCGX_PutStr(response, (int)size, request.out);
    FCGX_Finish_r(&request);
  }
  return NULL;
}

int main(int argc, char **argv) {
  FILE *file = argc > 1 ? fopen(argv[1], "rb") : NULL;
  if (file == NULL || fseek(file, 0, SEEK_END) != 0 || (size = ftell(file)) <= 0 ||
      fseek(file, 0, SEEK_SET) != 0 || (response = malloc((size_t)size)) == NULL ||
      fread(response, 1, (size_t)size, file) != (size_t)size) {
    fprintf(stderr, "usage: fastcgi_floor RESPONSE-FILE [THREADS [SOCKET-PATH]] (a readable, non-empty file)\n");
    return 2;
  }
  fclose(file);
  if (FCGX_Init() != 0) return 1;
  if (argc > 3 && (listener = FCGX_OpenSocket(argv[3], 128)) < 0) {
    perror(argv[3]);
    return 1;
  }
  int threads = argc > 2 ? atoi(argv[2]) : 1;
  for (int i = 1; i < threads; i++) {
    pthread_t thread;
    if (pthread_create(&thread, NULL, serve, NULL) != 0) return 1;
  }
  serve(NULL);
  return 0;
}
