#include "config/app_config.h"
int main(){AppConfig c; c.load("config/config.json"); return 0;}
