// JScript meets cls_Tavrin_USB through its type information, run under Wine
// with no instrument attached: for...in lists the five methods, and numbers
// passed where a text is expected are converted.
// Prints one line per check and "N passed, M failed"; exits with M.
var passed = 0;
var failed = 0;

function check(what, actual, expected) {
  if (typeof actual === typeof expected && actual === expected) {
    WScript.Echo("ok     " + what + " = " + String(actual));
    passed++;
  } else {
    WScript.Echo("FAILED " + what + " = " + String(actual) + ", expected " + String(expected));
    failed++;
  }
}

var device = new ActiveXObject("Tavrin_570x_Driver.cls_Tavrin_USB");
var members = [];
for (var member in device) members.push(member);
members.sort();
check("for...in lists the methods", members.join(","),
      "Device_Read_Formatted,Device_Read_Interrogative,Device_Write,Get_ALL_Available_DeviceName,Get_First_DeviceName");
check("Device_Write(name, 42)", device.Device_Write("TAVRIN-0", 42), -2);
check("Device_Write(name, true)", device.Device_Write("TAVRIN-0", true), -2);

WScript.Echo(passed + " passed, " + failed + " failed");
WScript.Quit(failed);
