/* Imports the planted DLL as version.dll, as a program that trusts its own folder would: shows that a
   DLL planted there does get loaded under the test's DLL overrides. */
__declspec(dllimport) int plantedProbe(void);

int main(void) { return plantedProbe(); }
