// Module frame: the entry points by which a Tcl interpreter loads the
// library as an extension. The library needs no initialisation, so both
// succeed and register nothing.
// Its contract: zttools.h and the manual page zttools_module(3).
#include "zttools.h"

extern "C" {

int Zttools_Init(void *)
{
    return 0;
}

int Tcl_ModInit(void *interp)
{
    return Zttools_Init(interp);
}

}  // extern "C"
