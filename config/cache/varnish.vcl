# Varnish as a shared cache in front of the server that runs varpage.
# Varnish on its own passes every request that carries a cookie; sites that
# serve the same pages to everyone tell it to look them up all the same.
# @BACKEND@ is the server's port on 127.0.0.1.
vcl 4.1;

backend default {
  .host = "127.0.0.1";
  .port = "@BACKEND@";
}

sub vcl_recv {
  return (hash);
}

sub vcl_deliver {
  set resp.http.X-Cache-Hits = obj.hits;
}
