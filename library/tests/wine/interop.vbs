' Arguments as VBScript passes them, run under Wine with no instrument
' attached: numbers and Booleans where a text is expected are converted as VB
' converts them (the call reaches the library, which answers -2: no
' instrument), Empty is the empty text (0: nothing sent), and only Null,
' which has no text, is a type mismatch (error 13).
' Prints one line per check and "N passed, M failed"; exits with M.
Option Explicit

Dim passed, failed
passed = 0
failed = 0

Sub Check(what, actual, expected)
  If VarType(actual) = VarType(expected) And actual = expected Then
    WScript.Echo "ok     " & what & " = " & CStr(actual) & " (" & TypeName(actual) & ")"
    passed = passed + 1
  Else
    WScript.Echo "FAILED " & what & " = " & CStr(actual) & " (" & TypeName(actual) & "), expected " & _
      CStr(expected) & " (" & TypeName(expected) & ")"
    failed = failed + 1
  End If
End Sub

Dim device, name, number
Set device = CreateObject("Tavrin_570x_Driver.cls_Tavrin_USB")
name = "TAVRIN-0"
number = 42
Check "Device_Write(name, 42)", device.Device_Write(name, 42), CLng(-2)
Check "Device_Write(name, a variable holding 42)", device.Device_Write(name, number), CLng(-2)
Check "Device_Write(name, 1.5)", device.Device_Write(name, 1.5), CLng(-2)
Check "Device_Write(name, True)", device.Device_Write(name, True), CLng(-2)
Check "Device_Write(name, Empty)", device.Device_Write(name, Empty), CLng(0)
Check "Device_Read_Formatted(7)", device.Device_Read_Formatted(7), ""
Check "the variable keeps its number", VarType(number), vbInteger

On Error Resume Next
device.Device_Write name, Null
Check "Device_Write(name, Null): error", Err.Number, CLng(13)
Err.Clear
On Error GoTo 0

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
