#include "app/avmenu.h"

int main(int argc, char** argv) { return avmenu_main(argc, argv); }
