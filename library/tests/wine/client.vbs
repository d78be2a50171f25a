' A late-bound VBScript client of cls_Tavrin_USB, run under Wine with no
' instrument attached: creates the object by its programmatic identifier,
' calls every method and checks each result, its value and its type.
' Prints one line per check and "N passed, M failed"; exits with M.
' (Wine's VBScript has no ChrW: characters outside Latin-1 are the JScript
' client's to try.)
Option Explicit

Dim passed, failed
passed = 0
failed = 0

Function Show(v)
  If VarType(v) = vbString Then
    Show = """" & Replace(Replace(Replace(v, vbCr, "\r"), vbLf, "\n"), Chr(0), "\0") & """"
  Else
    Show = CStr(v)
  End If
End Function

Sub Check(what, actual, expected)
  If VarType(actual) = VarType(expected) And actual = expected Then
    WScript.Echo "ok     " & what & " = " & Show(actual) & " (" & TypeName(actual) & ")"
    passed = passed + 1
  Else
    WScript.Echo "FAILED " & what & " = " & Show(actual) & " (" & TypeName(actual) & "), expected " & _
      Show(expected) & " (" & TypeName(expected) & ")"
    failed = failed + 1
  End If
End Sub

Dim device, other, name, padded, value, result
Set device = CreateObject("Tavrin_570x_Driver.cls_Tavrin_USB")
Check "Get_ALL_Available_DeviceName", device.Get_ALL_Available_DeviceName(), ""
Check "Get_First_DeviceName", device.Get_First_DeviceName(), ""
Check "Get_First_DeviceName without parentheses", device.Get_First_DeviceName, ""

name = "TAVRIN-0"
padded = "T" & Chr(0) & "A" & Chr(0) & "V" & Chr(0) & "R" & Chr(0) & "I" & Chr(0) & "N" & Chr(0) & _
  "-" & Chr(0) & "0" & Chr(0)
Check "Device_Read_Formatted", device.Device_Read_Formatted(name), ""
Check "Device_Read_Interrogative", device.Device_Read_Interrogative(name), ""
Check "Device_Read_Formatted, padded name", device.Device_Read_Formatted(padded), ""
Check "Device_Read_Interrogative, literal name", device.Device_Read_Interrogative("TAVRIN-3"), ""

value = "*IDN?" & vbLf
Check "Device_Write", device.Device_Write(name, value), CLng(-2)
Check "Device_Write, padded name", device.Device_Write(padded, value), CLng(-2)
Check "Device_Write, one character", device.Device_Write(name, "A"), CLng(-2)
Check "Device_Write, empty value", device.Device_Write(name, ""), CLng(0)
Check "Device_Write, 32767 characters", device.Device_Write(name, String(32767, "x")), CLng(-2)
Check "the name passed by reference", name, "TAVRIN-0"
Check "the value passed by reference", value, "*IDN?" & vbLf

' Run-time error 6, Overflow: more than 32767 characters.
On Error Resume Next
result = Empty
result = device.Device_Write(name, String(32768, "x"))
Check "Device_Write, 32768 characters: error", Err.Number, CLng(6)
Check "Device_Write, 32768 characters: description", Err.Description, "Overflow"
Check "Device_Write, 32768 characters: source", Err.Source, "Tavrin_570x_Driver.cls_Tavrin_USB"
Check "Device_Write, 32768 characters: no result", IsEmpty(result), True
Err.Clear
result = device.Device_Writ(name, value)
Check "an unknown method: error", Err.Number, CLng(438)
Err.Clear
On Error GoTo 0

' Objects hold no state: a second one answers alike.
Set other = CreateObject("Tavrin_570x_Driver.cls_Tavrin_USB")
Check "second object, Device_Write", other.Device_Write(name, value), CLng(-2)
Set other = Nothing
Set device = Nothing

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
