' A late-bound VBScript client of cls_Tavrin_USB with an instrument attached
' (scripts/wine-usb-test): lists it, writes to it, queries it and reads its
' formatted output. Reads are made only while an answer is due, so none
' waits on an idle channel. Prints one line per check and
' "N passed, M failed"; exits with M.
Option Explicit

Dim passed, failed
passed = 0
failed = 0

Function Show(v)
  Show = """" & Replace(Replace(v, vbCr, "\r"), vbLf, "\n") & """"
End Function

Sub Check(what, condition, actual)
  If condition Then
    WScript.Echo "ok     " & what & ": " & Show(actual)
    passed = passed + 1
  Else
    WScript.Echo "FAILED " & what & ": " & Show(actual)
    failed = failed + 1
  End If
End Sub

' The next text on a reply channel, waiting up to about five seconds.
Function NextText(formatted)
  Dim i, text
  text = ""
  For i = 1 To 500
    If formatted Then
      text = device.Device_Read_Formatted(name)
    Else
      text = device.Device_Read_Interrogative(name)
    End If
    If Len(text) > 0 Then Exit For
    WScript.Sleep 10
  Next
  NextText = text
End Function

Dim device, name, result, answer, lines
Set device = CreateObject("Tavrin_570x_Driver.cls_Tavrin_USB")
name = "TAVRIN-0"
result = device.Get_ALL_Available_DeviceName()
Check "Get_ALL_Available_DeviceName", result = "TAVRIN-0" & vbCrLf, result
result = device.Get_First_DeviceName()
Check "Get_First_DeviceName", result = "TAVRIN-0", result

result = device.Device_Write(name, "*IDN?" & vbLf)
Check "Device_Write *IDN? returns 1", result = 1, CStr(result)
answer = NextText(False)
Check "Device_Read_Interrogative answers *IDN?", Left(answer, 21) = "TAVRIN,570x,TVR03232,", answer

result = device.Device_Write(name, "ECHO hello from VBScript" & vbLf)
answer = NextText(False)
Check "ECHO comes back", result = 1 And answer = "hello from VBScript" & vbLf, answer

result = device.Device_Write(name, "FMT 2" & vbLf)
answer = ""
lines = 0
Do While lines < 2
  result = NextText(True)
  If Len(result) = 0 Then Exit Do
  answer = answer & result
  lines = UBound(Split(answer, vbLf))
Loop
Check "Device_Read_Formatted gives FMT 2's two lines", Left(answer, 12) = "FMT 1 of 2: " And _
  InStr(answer, vbLf & "FMT 2 of 2: ") > 0, answer

WScript.Echo passed & " passed, " & failed & " failed"
WScript.Quit failed
