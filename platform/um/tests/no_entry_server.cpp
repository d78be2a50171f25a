// A shared library registered as a server that has no DllGetClassObject.
extern "C" __attribute__((visibility("default"))) int No_Entry_Server_Marker() { return 1; }
