/* The one version of the Windows driver package: Tavrin.sys, its INF
 * (DriverVer) and Tavrin_570x_Driver.dll carry it in their version blocks;
 * scripts/windows-build refuses a build in which they differ. */
#ifndef TAVRIN_VERSION_H
#define TAVRIN_VERSION_H

#define TAVRIN_VERSION_MAJOR 1
#define TAVRIN_VERSION_MINOR 2
#define TAVRIN_VERSION_BUILD 0
#define TAVRIN_VERSION_REVISION 0
#define TAVRIN_VERSION_TEXT "1.2.0.0"

#endif
