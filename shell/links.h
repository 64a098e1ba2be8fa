// The two links of the main window: open a page of the maker's web site in
// the browser that handles ".htm" pages.
#ifndef SELFPATCH_SHELL_LINKS_H
#define SELFPATCH_SHELL_LINKS_H

// The scheme and host of the maker's site; a build option.
#ifndef SP_LINK_SITE
#define SP_LINK_SITE "http://www.example.com"
#endif

#define SP_LINK_PATCH_PAGE SP_LINK_SITE "/press/patch.htm"
#define SP_LINK_CREATOR_PAGE SP_LINK_SITE "/press/creator.htm"

// Starts the ".htm" handler with the address, or, when there is none or it
// cannot be started, shows a box that asks the user to type the address.
void OpenLink(const char* address);

#endif
