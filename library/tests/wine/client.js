// A late-bound JScript client of cls_Tavrin_USB, run under Wine with no
// instrument attached: creates the object by its programmatic identifier,
// calls every method and checks each result, its value and its type.
// Prints one line per check and "N passed, M failed"; exits with M.
var passed = 0;
var failed = 0;

function show(v) {
  if (typeof v === "string") {
    return '"' + v.replace(/\r/g, "\\r").replace(/\n/g, "\\n").replace(/\x00/g, "\\0") + '"';
  }
  return String(v);
}

function check(what, actual, expected) {
  if (typeof actual === typeof expected && actual === expected) {
    WScript.Echo("ok     " + what + " = " + show(actual) + " (" + typeof actual + ")");
    passed++;
  } else {
    WScript.Echo("FAILED " + what + " = " + show(actual) + " (" + typeof actual + "), expected " +
                 show(expected) + " (" + typeof expected + ")");
    failed++;
  }
}

function repeat(c, n) {
  var s = "";
  while (s.length < n) s += c;
  return s;
}

var device = new ActiveXObject("Tavrin_570x_Driver.cls_Tavrin_USB");
check("Get_ALL_Available_DeviceName", device.Get_ALL_Available_DeviceName(), "");
check("Get_First_DeviceName", device.Get_First_DeviceName(), "");
check("Device_Read_Formatted", device.Device_Read_Formatted("TAVRIN-0"), "");
check("Device_Read_Interrogative", device.Device_Read_Interrogative("TAVRIN-0"), "");
check("Device_Read_Formatted, padded name", device.Device_Read_Formatted("T\0A\0V\0R\0I\0N\0-\0" + "0\0"), "");
check("Device_Write", device.Device_Write("TAVRIN-0", "*IDN?\n"), -2);
check("Device_Write, one character", device.Device_Write("TAVRIN-0", "\u00e9"), -2);
check("Device_Write, empty value", device.Device_Write("TAVRIN-0", ""), 0);
check("Device_Write, 32767 characters", device.Device_Write("TAVRIN-0", repeat("x", 32767)), -2);

// Run-time error 6, Overflow, as an exception carrying 0x800A0006.
var caught = null;
try {
  device.Device_Write("TAVRIN-0", "A\u0100");
} catch (e) {
  caught = e;
}
check("Device_Write, character 256: exception", caught !== null, true);
if (caught !== null) {
  check("Device_Write, character 256: error number", (caught.number >>> 0).toString(16), "800a0006");
}
caught = null;
try {
  device.Device_Write("TAVRIN-0", repeat("x", 32768));
} catch (e) {
  caught = e;
}
check("Device_Write, 32768 characters: error number", caught === null ? "none" : (caught.number >>> 0).toString(16),
      "800a0006");

WScript.Echo(passed + " passed, " + failed + " failed");
WScript.Quit(failed);
