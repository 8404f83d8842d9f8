@echo off
rem Runs the QELM spool corrector every night at 03:15 as SYSTEM, keeping its
rem output in a log beside the program. Run this once from an elevated prompt
rem in the folder that holds qelm-spool-corrector.exe.
schtasks /Create /F /TN "QELM Spool Corrector" /SC DAILY /ST 03:15 /RU SYSTEM /RL HIGHEST ^
  /TR "cmd /c \"\"%~dp0qelm-spool-corrector.exe\" >> \"%~dp0qelm-spool-corrector.log\" 2>&1\""
