@echo off
rem Runs every check of the kit from an elevated command prompt; exits 0 only when none failed.
"%~dp0windows-checks.exe"
exit /b %ERRORLEVEL%
