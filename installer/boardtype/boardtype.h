// The board id (the device's serial number as text) and the model predicates read from it.
// The model codes live in one table in boardtype.cpp.
#pragma once

extern char g_boardtype_serialno[256];
extern char g_boardtype_init;

// Stores the first min(len, 255) bytes of the serial number as the board id, terminated, and
// sets g_boardtype_init. (Terminating it means a shorter serial stored after a longer one does
// not keep the longer one's tail.)
void BOARD_TYPE_SET(const char* serial, int len);
// Makes sure a board id is loaded before a predicate reads it.
void BOARD_TYPE_INIT();

int IS_TAMSO();
int IS_RQ2();
int IS_RQ3();
int IS_VRX2();
int IS_VRX3();
int IS_VRX3_4GB();
int IS_VRX3_32GB();
int IS_SELKIN();
