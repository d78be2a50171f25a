' Run after the library is unregistered: its programmatic identifier must no
' longer lead to an object. Exits 0 when creation fails with error 429
' ("ActiveX component can't create object").
Option Explicit
Dim device
On Error Resume Next
Set device = CreateObject("Tavrin_570x_Driver.cls_Tavrin_USB")
If Err.Number = 429 Then
  WScript.Echo "ok     the programmatic identifier no longer creates an object (error 429)"
  WScript.Quit 0
End If
WScript.Echo "FAILED creation after unregistration gave error " & Err.Number & " " & Err.Description
WScript.Quit 1
