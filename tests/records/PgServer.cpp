#include "PgServer.h"

#include <libpq-fe.h>

#include <stdexcept>

std::string TPgServer::Location(const std::string& database) const {
  return "postgresql:///" + database + "?" + host_ + "&user=postgres";
}

std::string TPgServer::NewDatabase(const std::string& name) {
  PGconn* c = PQconnectdb(Location().c_str());
  std::string problem;
  if (PQstatus(c) != CONNECTION_OK) {
    problem = PQerrorMessage(c);
  } else {
    PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK) problem = PQresultErrorMessage(r);
    PQclear(r);
  }
  PQfinish(c);
  if (!problem.empty()) throw std::runtime_error("cannot create database " + name + ": " + problem);
  return Location(name);
}

void PgExec(const std::string& location, const std::string& sql) {
  PGconn* c = PQconnectdb(location.c_str());
  std::string problem;
  if (PQstatus(c) != CONNECTION_OK) {
    problem = PQerrorMessage(c);
  } else {
    PGresult* r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
      problem = PQresultErrorMessage(r);
    PQclear(r);
  }
  PQfinish(c);
  if (!problem.empty()) throw std::runtime_error(sql + ": " + problem);
}
