#!/usr/bin/perl
# The environment page in Perl: the same header, document and escaping.
use strict;
use warnings;
use POSIX qw(strftime);
use Socket qw(inet_aton AF_INET);

sub http_date { strftime("%a, %d %b %Y %H:%M:%S GMT", gmtime($_[0])) }
sub escape {
  my $s = shift;
  $s =~ s/&/&amp;/g;
  $s =~ s/</&lt;/g;
  $s =~ s/>/&gt;/g;
  return $s;
}

my $now = time;
my $expires = http_date($now + 60);
my $out = "Content-type: text/html\nLast-Modified: " . http_date($now - 60)
  . "\nExpires: $expires\nCache-Control: private\n\n"
  . "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">\n<html>\n<head>\n"
  . "<meta http-equiv=\"Content-Type\" content=\"text/html\" />\n"
  . "<meta http-equiv=\"Pragma\" content=\"no-cache\" />\n"
  . "<meta http-equiv=\"Expires\" content=\"$expires\" />\n"
  . "<title>Environment Variable List</title>\n</head>\n<body>\n"
  . "<h1>Environment Variable List</h1>\n"
  . "<table border=\"1\" cellspacing=\"0\" cellpadding=\"5\" cols=\"2\" frame=\"hsides\" rules=\"rows\">\n"
  . "<colgroup span=\"2\">\n\t<col />\n\t<col />\n</colgroup>\n"
  . "<thead>\n\t<tr>\n\t\t<th>environment variable name</th>\n"
  . "\t\t<th>environment variable value</th>\n\t</tr>\n</thead>\n<tbody>\n";
# Perl's %ENV is a hash: it keeps neither the order nor duplicates, so the
# rows come sorted.
for my $name (sort keys %ENV) {
  $out .= "\t<tr>\n\t\t<td>" . escape($name) . "</td>\n\t\t<td>" . escape($ENV{$name})
    . "</td>\n\t</tr>\n";
}
my $remote = $ENV{REMOTE_ADDR};
if (defined $remote && $remote ne '') {
  my $address = inet_aton($remote) // inet_aton("255.255.255.255");
  my $name = gethostbyaddr($address, AF_INET);
  $out .= "\t<tr>\n\t\t<td>\n\t\t\tHostName from IPaddr\n\t\t</td>\n\t\t<td>\n\t\t\t"
    . escape($name) . "\n\t\t</td>\n\t</tr>\n" if defined $name;
}
$out .= "</tbody>\n</table>\n</body>\n</html>";
$out =~ s/\n/\r\n/g;
binmode STDOUT;
print $out;
