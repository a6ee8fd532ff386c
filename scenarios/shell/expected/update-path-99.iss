[InstallShield Silent]
Version=v2.10.000
File=Response File
[Application]
Name=Quorbelle Redirector
Version=1.0
Company=Quorbelle
[DlgOrder]
Dlg0=Welcome-0
Dlg1=AskDestPath-0
Dlg2=AskText-0
Dlg3=AskText-1
Dlg4=AskText-2
Dlg5=AskText-3
Count=6
[Welcome-0]
Result=1
[AskDestPath-0]
szPath=C:\xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\
Result=1
[AskText-0]
szText=<empty>
Result=1
[AskText-1]
szText=<empty>
Result=1
[AskText-2]
szText=<empty>
Result=1
[AskText-3]
szText=<empty>
Result=1
