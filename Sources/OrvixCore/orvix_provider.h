#ifndef ORVIX_PROVIDER_H
#define ORVIX_PROVIDER_H

/* The filtering provider's own domain. The local resolver probe asks for it, so the user
   may never block it; C and C++ code both take it from here so the two can never differ. */
#define ORVIX_CONNECTION_CHECK_DOMAIN "cleanbrowsing.org"

#endif
