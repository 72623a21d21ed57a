// Server conversation: the exchange, the identification and the twelve actions.
#include "client_functions.h"

int Hello(void *query, Game *jeu) { (void)query; (void)jeu; return 1; }
int ActionSubscribe(void *Data) { (void)Data; return 1; }
int ActionConnect(void *Data) { (void)Data; return 1; }
int ActionUnsubscribe(void *Data) { (void)Data; return 1; }
int ActionDisconnect(void *Data) { (void)Data; return 1; }
int ActionSpeak(void *Data) { (void)Data; return 1; }
int ActionRefresh(void *Data) { (void)Data; return 1; }
int ActionAnalyze(void *Data) { (void)Data; return 1; }
int ActionDrink(void *Data) { (void)Data; return 1; }
int ActionEat(void *Data) { (void)Data; return 1; }
int ActionMove(void *Data) { (void)Data; return 1; }
int ActionRememberBefore(void *Data) { (void)Data; return 1; }
int ActionRememberAfter(void *Data) { (void)Data; return 1; }
const char *ActionBusyWord(int (*action)(void *)) { (void)action; return NULL; }
int CloseConnection(Game *jeu) {
  if (jeu->tcpsock != NULL) SDLNet_TCP_Close(jeu->tcpsock);
  jeu->tcpsock = NULL;
  return 0;
}
