@echo off
rem Runs the kit's checks (all, or those whose names start with one of the words given) from an
rem elevated command prompt: exit 0 when all passed, 1 when one failed, 2 when one could not be made.
"%~dp0windows-checks.exe" %*
exit /b %ERRORLEVEL%
