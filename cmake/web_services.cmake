# The maker's web services. Defaults lie under the reserved .example domain, so no build reaches a
# stranger's server; a distributor sets the real ones (see the README). Read by the main build and by
# the native build of the pure code.
set(CALMLANE_UPDATE_HOST "updates.calmlane.example" CACHE STRING "Host of the update manifest")
set(CALMLANE_DOWNLOAD_HOST "downloads.calmlane.example" CACHE STRING "Host of the installers and the support counter")
set(CALMLANE_SITE_URL "https://www.calmlane.example/" CACHE STRING "The web site: an https address ending in /")
